#include <fcntl.h>
#include <sys/file.h>
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

bool WritableFolder(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), W_OK | X_OK) == 0;
}

std::string LockFolder() {
  for (const char* folder : {"/run/lock", "/var/lock"}) {
    if (WritableFolder(folder)) return folder;
  }
  const char* tmp = std::getenv("TMPDIR");
  if (tmp != nullptr && WritableFolder(tmp)) return tmp;
  return "/tmp";
}

}  // namespace

std::string PortLockPath(const std::string& device) {
  char resolved[PATH_MAX];
  const std::string real = ::realpath(device.c_str(), resolved) ? resolved : device;
  return LockFolder() + "/" + PortLockFileName(real);
}

Status LockPortForRun(std::uint8_t nPort, const std::string& device,
                      std::unique_ptr<RunLock>* lock) {
  const std::string where = "port " + std::to_string(nPort) + " (" + device + ")";
  const std::string path = PortLockPath(device);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    return Status::FromErrno("cannot create the run lock " + path, errno).Context(where);
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) {
      return Status::Error(where + " is in use by another receipt run (lock " + path + ")");
    }
    return Status::FromErrno("cannot take the run lock " + path, err).Context(where);
  }
  *lock = std::make_unique<FileLock>(fd);
  return Status::Ok();
}

}  // namespace fiskal
