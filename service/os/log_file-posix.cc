// The message log's file operations on POSIX systems: a descriptor opened
// to append; an open file may be renamed as it is.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "service/os/log_file.h"

namespace fiskal::service::log_files {

Status OpenToAppend(const std::string& path, OpenFile* file, std::uint64_t* size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return Status::FromErrno("cannot open " + path, errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return Status::FromErrno("cannot read the size of " + path, err);
  }
  *file = fd;
  *size = static_cast<std::uint64_t>(st.st_size);
  return Status::Ok();
}

Status Append(OpenFile file, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(file, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Status::FromErrno("cannot write", n < 0 ? errno : EIO);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return Status::Ok();
}

void Close(OpenFile file) { ::close(file); }

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

Status Rename(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    return Status::FromErrno("cannot rename " + from + " to " + to, errno);
  }
  return Status::Ok();
}

}  // namespace fiskal::service::log_files
