#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "receipt/read_file.h"

namespace fiskal {

Status ReadInputFile(const std::string& path, std::size_t limit, std::string* contents) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status::FromErrno(path + ": cannot open", errno);
  std::string data;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return Status::FromErrno(path + ": cannot read", err);
    }
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > limit) {
      ::close(fd);
      return Status::Error(path + ": larger than " + std::to_string(limit >> 20) +
                           " MiB; not a receipt");
    }
  }
  ::close(fd);
  *contents = std::move(data);
  return Status::Ok();
}

}  // namespace fiskal
