// Private files on POSIX systems: no permission bits for group or others.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "service/os/private_file.h"

namespace fiskal::service {

Status ReadPrivateFile(const std::string& path, const std::string& what, std::size_t most,
                       std::string* text) {
  const std::string where = what + " " + path;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status::FromErrno(where + ": cannot open", errno);
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return Status::FromErrno(where + ": cannot read", err);
  }
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    ::close(fd);
    return Status::Error(where +
                         ": other users may read it; make it private (chmod 600 " + path + ")");
  }
  text->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      return Status::FromErrno(where + ": cannot read", err);
    }
    if (n == 0 || text->size() > most) break;
    text->append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return Status::Ok();
}

}  // namespace fiskal::service
