// Private files on POSIX systems: no permission bits for others.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "service/os/private_file.h"

namespace fiskal::service {

namespace {

// Opens the file and checks its mode; the open descriptor in *fd.
Status OpenPrivate(const std::string& path, const std::string& where, int* fd) {
  *fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (*fd < 0 && errno == EACCES) {
    // The packaged unit's user, for one, reads its secrets by its group.
    struct passwd user_entry{};
    struct passwd* user = nullptr;
    struct group group_entry{};
    struct group* group = nullptr;
    char names[2048];
    ::getpwuid_r(::geteuid(), &user_entry, names, sizeof names / 2, &user);
    ::getgrgid_r(::getegid(), &group_entry, names + sizeof names / 2, sizeof names / 2, &group);
    const std::string user_name = user != nullptr ? user->pw_name : std::to_string(::geteuid());
    const std::string group_name =
        group != nullptr ? group->gr_name : std::to_string(::getegid());
    return Status::FromErrno(where + ": cannot open", EACCES,
                             "fiskald runs as the user " + user_name + ", group " + group_name +
                                 ": let that group read the file, e.g. chgrp " + group_name +
                                 " " + path + " && chmod 640 " + path +
                                 ", in a folder of that group of mode 0750");
  }
  if (*fd < 0) return Status::FromErrno(where + ": cannot open", errno);
  struct stat st{};
  if (::fstat(*fd, &st) != 0) {
    const int err = errno;
    ::close(*fd);
    return Status::FromErrno(where + ": cannot read", err);
  }
  if ((st.st_mode & S_IRWXO) != 0) {
    ::close(*fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return Status::Error(where + ": other users may " +
                         ((st.st_mode & S_IROTH) != 0 ? "read" : "change") + " it (mode " +
                         mode + "); take their access away: chmod o= " + path +
                         " (0600, or 0640 with the service's group)");
  }
  return Status::Ok();
}

}  // namespace

Status CheckPrivateFile(const std::string& path, const std::string& what) {
  int fd = -1;
  if (Status s = OpenPrivate(path, what + " " + path, &fd); !s.ok()) return s;
  ::close(fd);
  return Status::Ok();
}

Status ReadPrivateFile(const std::string& path, const std::string& what, std::size_t most,
                       std::string* text) {
  const std::string where = what + " " + path;
  int fd = -1;
  if (Status s = OpenPrivate(path, where, &fd); !s.ok()) return s;
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
