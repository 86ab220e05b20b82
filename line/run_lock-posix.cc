// Run locks on POSIX systems: flock on an open file, released when the
// file is closed (and so when the process ends, however it ends).

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "line/run_lock.h"

namespace fiskal {

namespace {

class FileLock : public RunLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {}
  ~FileLock() override { ::close(fd_); }  // closing releases the flock

 private:
  int fd_;
};

// Opens the lock file of a device, creating it when it is not there. Lock
// files are shared by every user who sends to the device (fiskal runs of
// several users, fiskald under a user of its own), so:
//  - an existing file is opened without O_CREAT: in a sticky folder such
//    as /run/lock, the system refuses an O_CREAT open of another user's
//    file (fs.protected_regular) even where its mode allows reading;
//  - a new file is made readable by all (0644) whatever the umask, since
//    a flock needs only a descriptor open for reading.
int OpenLockFile(const std::string& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) {
      ::fchmod(fd, 0644);
      return fd;
    }
    if (errno != EEXIST) return fd;  // else another run made it just now
  }
  return -1;
}

bool WritableFolder(const char* path) {
  return path != nullptr && path[0] != '\0' && ::access(path, W_OK | X_OK) == 0;
}

}  // namespace

Status TryRunLock(OpenFile file, std::string_view what, bool* taken) {
  *taken = false;
  if (::flock(file, LOCK_EX | LOCK_NB) == 0) {
    *taken = true;
    return Status::Ok();
  }
  if (errno == EWOULDBLOCK) return Status::Ok();
  return Status::FromErrno(what, errno);
}

std::string PortLockFolder() {
  const char* chosen = std::getenv("FISKAL_LOCK_DIR");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  for (const char* folder : {static_cast<const char*>("/run/lock"), "/var/lock",
                             static_cast<const char*>(std::getenv("TMPDIR"))}) {
    if (WritableFolder(folder)) return folder;
  }
  return "/tmp";
}

std::string PortLockPath(const std::string& device) {
  char resolved[PATH_MAX];
  const std::string real = ::realpath(device.c_str(), resolved) ? resolved : device;
  return PortLockFolder() + "/" + PortLockFileName(real);
}

Status LockPortForRun(std::uint8_t nPort, const std::string& device,
                      std::unique_ptr<RunLock>* lock, bool* busy) {
  if (busy != nullptr) *busy = false;
  const std::string where = "port " + std::to_string(nPort) + " (" + device + ")";
  const std::string path = PortLockPath(device);
  const int fd = OpenLockFile(path);
  if (fd < 0) {
    return Status::FromErrno("cannot create the run lock " + path, errno).Context(where);
  }
  bool taken = false;
  if (Status s = TryRunLock(fd, "cannot take the run lock " + path, &taken); !s.ok() || !taken) {
    ::close(fd);
    if (!s.ok()) return s.Context(where);
    if (busy != nullptr) *busy = true;
    return Status::Error(where + " is in use by another receipt run (lock " + path + ")");
  }
  *lock = std::make_unique<FileLock>(fd);
  return Status::Ok();
}

}  // namespace fiskal
