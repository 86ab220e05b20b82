// The journal's file on Windows: MoveFileEx without replacing publishes
// (it fails when the name is taken, as link(2) does), and the run lock
// (LockFileEx on a byte far beyond the file's content and beyond the bytes
// SQLite locks) on a handle of the journal's own, shared for reading and
// writing with SQLite's, locks it. The lock goes with the handle, so with
// the process, however it ends.

#include <windows.h>

#include <string>

#include "service/journal/journal_file.h"

#include "line/run_lock.h"

namespace fiskal::service {

namespace {

// The folder of a path with either separator; a drive's root keeps its own.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

}  // namespace

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Status CreatePrivateFile(const std::string& made, const std::string& journal) {
  // Private through its folder: a new file takes the folder's access list.
  HANDLE file = CreateFileA(made.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    return Status::FromWindowsError(
        "journal " + journal + ": cannot create it in " + FolderOf(journal), err,
        err == ERROR_PATH_NOT_FOUND ? kMissingJournalFolder
        : err == ERROR_ACCESS_DENIED ? "fiskald's user may not write there"
                                     : "");
  }
  CloseHandle(file);
  return Status::Ok();
}

Status PublishFile(const std::string& made, const std::string& path, bool* existed) {
  *existed = false;
  if (!MoveFileExA(made.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
    const DWORD err = GetLastError();
    DeleteFileA(made.c_str());
    if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) {
      *existed = true;
      return Status::Ok();
    }
    return Status::FromWindowsError("journal " + path + ": cannot create", err);
  }
  return Status::Ok();
}

void RemoveFile(const std::string& path) { DeleteFileA(path.c_str()); }

Status LockJournalFile(const std::string& path, OpenFile* file) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return Status::FromWindowsError("journal " + path + ": cannot open", GetLastError());
  }
  bool taken = false;
  if (Status s = TryRunLock(h, "journal " + path + ": cannot lock", &taken); !s.ok() || !taken) {
    CloseHandle(h);
    if (!s.ok()) return s;
    return JournalInUse(path);
  }
  *file = h;
  return Status::Ok();
}

void CloseJournalFile(OpenFile file) {
  if (file != nullptr && file != INVALID_HANDLE_VALUE) CloseHandle(static_cast<HANDLE>(file));
}

Status ReadFileStart(OpenFile file, const std::string& path, std::size_t size,
                     std::uint64_t* length, std::string* start) {
  LARGE_INTEGER bytes{};
  if (!GetFileSizeEx(static_cast<HANDLE>(file), &bytes)) {
    return Status::FromWindowsError("journal " + path + ": cannot read", GetLastError());
  }
  *length = static_cast<std::uint64_t>(bytes.QuadPart);
  start->assign(size, '\0');
  OVERLAPPED at{};  // from the first byte, wherever the handle stands
  DWORD n = 0;
  if (!ReadFile(static_cast<HANDLE>(file), start->data(), static_cast<DWORD>(size), &n, &at)) {
    const DWORD err = GetLastError();
    if (err != ERROR_HANDLE_EOF) return Status::FromWindowsError("journal " + path + ": cannot read", err);
    n = 0;
  }
  start->resize(n);
  return Status::Ok();
}

std::string MakingName(const std::string& path) {
  return path + ".new-" + std::to_string(GetCurrentProcessId());
}

}  // namespace fiskal::service
