// The message log's file operations on Windows: a HANDLE opened to append
// and shared for deletion, so that the file can be renamed while it is
// open (by fiskald itself when it rotates, and by nothing else that does
// not share so: a program that holds the log open without it makes the
// rename fail, which the rotation survives).

#include <windows.h>

#include "service/os/log_file.h"

namespace fiskal::service::log_files {

Status OpenToAppend(const std::string& path, OpenFile* file, std::uint64_t* size) {
  const HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return Status::FromWindowsError("cannot open " + path, GetLastError());
  }
  LARGE_INTEGER bytes{};
  if (!GetFileSizeEx(h, &bytes)) {
    const DWORD err = GetLastError();
    CloseHandle(h);
    return Status::FromWindowsError("cannot read the size of " + path, err);
  }
  *file = h;
  *size = static_cast<std::uint64_t>(bytes.QuadPart);
  return Status::Ok();
}

Status Append(OpenFile file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) {
      return Status::FromWindowsError("cannot write", GetLastError());
    }
    bytes.remove_prefix(written);
  }
  return Status::Ok();
}

void Close(OpenFile file) { CloseHandle(file); }

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Status Rename(const std::string& from, const std::string& to) {
  if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return Status::FromWindowsError("cannot rename " + from + " to " + to, GetLastError());
  }
  return Status::Ok();
}

}  // namespace fiskal::service::log_files
