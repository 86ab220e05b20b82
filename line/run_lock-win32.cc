// Run locks on Windows: LockFileEx on a lock file in the temporary folder,
// named after the device; the lock goes with the process.

#include <windows.h>

#include <cctype>

#include "line/run_lock.h"

namespace fiskal {

namespace {

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

std::string PortLockPath(const std::string& device) {
  char folder[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof folder, folder);
  std::string path = n > 0 && n < sizeof folder ? std::string(folder, n) : std::string(".\\");
  return path + PortLockFileName(DeviceName(device));
}

Status LockPortForRun(std::uint8_t nPort, const std::string& device,
                      std::unique_ptr<RunLock>* lock) {
  const std::string where = "port " + std::to_string(nPort) + " (" + device + ")";
  const std::string path = PortLockPath(device);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return Status::FromWindowsError("cannot create the run lock " + path, GetLastError())
        .Context(where);
  }
  OVERLAPPED at{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD err = GetLastError();
    CloseHandle(file);
    if (err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING) {
      return Status::Error(where + " is in use by another receipt run (lock " + path + ")");
    }
    return Status::FromWindowsError("cannot take the run lock " + path, err).Context(where);
  }
  *lock = std::make_unique<FileLock>(file);
  return Status::Ok();
}

}  // namespace fiskal
