// The run locks that are the same on every system (the rest is in
// run_lock-posix.cc and run_lock-win32.cc).
#include "line/run_lock.h"

namespace fiskal {

Status LockFolderForRun(OpenFile transcript, const std::string& path) {
  bool taken = false;
  if (Status s = TryRunLock(transcript, path + ": cannot lock", &taken); !s.ok()) return s;
  if (!taken) return Status::Error(path + ": another receipt run is using this folder");
  return Status::Ok();
}

std::string PortLockFileName(std::string_view real_name) {
  std::string name = "fiskal-port";
  for (char c : real_name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '-';
    name += plain ? c : '_';
  }
  return name + ".lock";
}

}  // namespace fiskal
