// Run locks on Windows: LockFileEx on one byte of an open file, far beyond
// any content so that readers of the file are not blocked; the lock goes
// with the handle, and so with the process.

#include <windows.h>

#include <cctype>
#include <cstdlib>

#include "line/run_lock.h"

namespace fiskal {

namespace {

// The locked byte: far beyond any transcript, so the lock blocks no reader.
constexpr DWORD kLockOffsetHigh = 0x40000000;

class FileLock : public RunLock {
 public:
  explicit FileLock(HANDLE file) : file_(file) {}
  ~FileLock() override { CloseHandle(file_); }  // closing releases the lock

 private:
  HANDLE file_;
};

// One name per device: "\\.\COM5", "COM5" and "com5" are the same port;
// other paths are made full.
std::string DeviceName(const std::string& device) {
  std::string name = device;
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(device.c_str(), sizeof full, full, nullptr);
  if (n > 0 && n < sizeof full) name.assign(full, n);  // "COM5" gives "\\.\COM5"
  if (name.rfind("\\\\.\\", 0) == 0) name = name.substr(4);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

}  // namespace

Status TryRunLock(OpenFile file, std::string_view what, bool* taken) {
  *taken = false;
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  if (LockFileEx(static_cast<HANDLE>(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                 0, 1, 0, &at)) {
    *taken = true;
    return Status::Ok();
  }
  const DWORD err = GetLastError();
  if (err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING) return Status::Ok();
  return Status::FromWindowsError(what, err);
}

std::string PortLockFolder() {
  const char* chosen = std::getenv("FISKAL_LOCK_DIR");
  if (chosen != nullptr && chosen[0] != '\0') return std::string(chosen) + "\\";
  char folder[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof folder, folder);
  return n > 0 && n < sizeof folder ? std::string(folder, n) : std::string(".\\");
}

std::string PortLockPath(const std::string& device) {
  return PortLockFolder() + PortLockFileName(DeviceName(device));
}

Status LockPortForRun(std::uint8_t nPort, const std::string& device,
                      std::unique_ptr<RunLock>* lock, bool* busy) {
  if (busy != nullptr) *busy = false;
  const std::string where = "port " + std::to_string(nPort) + " (" + device + ")";
  const std::string path = PortLockPath(device);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return Status::FromWindowsError("cannot create the run lock " + path, GetLastError())
        .Context(where);
  }
  bool taken = false;
  if (Status s = TryRunLock(file, "cannot take the run lock " + path, &taken);
      !s.ok() || !taken) {
    CloseHandle(file);
    if (!s.ok()) return s.Context(where);
    if (busy != nullptr) *busy = true;
    return Status::Error(where + " is in use by another receipt run (lock " + path + ")");
  }
  *lock = std::make_unique<FileLock>(file);
  return Status::Ok();
}

}  // namespace fiskal
