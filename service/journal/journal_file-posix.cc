// The journal's file on POSIX systems: link(2) publishes without ever
// replacing, flock(2) (through TryRunLock) locks. The lock is an flock on
// the journal itself, which the fcntl locks SQLite takes on the same file
// do not touch; the descriptor is closed only after SQLite closed the file,
// since closing any descriptor of a file drops the process's fcntl locks.

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "service/journal/journal_file.h"

#include "line/run_lock.h"

namespace fiskal::service {

namespace {

std::string FolderOf(const std::string& path) {
  std::string copy = path;
  return ::dirname(copy.data());
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

Status CreatePrivateFile(const std::string& made, const std::string& journal) {
  const int fd = ::open(made.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int err = errno;
    return Status::FromErrno("journal " + journal + ": cannot create it in " + FolderOf(journal),
                             err,
                             err == ENOENT || err == ENOTDIR ? kMissingJournalFolder
                             : err == EACCES                 ? "fiskald's user may not write there"
                                                             : "");
  }
  ::close(fd);
  return Status::Ok();
}

Status PublishFile(const std::string& made, const std::string& path, bool* existed) {
  *existed = false;
  if (::link(made.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(made.c_str());
    if (err == EEXIST) {
      *existed = true;
      return Status::Ok();
    }
    return Status::FromErrno("journal " + path + ": cannot create", err);
  }
  ::unlink(made.c_str());
  const std::string folder = FolderOf(path);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Status::FromErrno("journal " + path + ": cannot open its folder", errno);
  const int synced = ::fsync(dir);
  const int err = errno;
  ::close(dir);
  if (synced != 0) return Status::FromErrno("journal " + path + ": cannot sync its folder", err);
  return Status::Ok();
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

Status LockJournalFile(const std::string& path, OpenFile* file) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return Status::FromErrno("journal " + path + ": cannot open", errno);
  bool taken = false;
  if (Status s = TryRunLock(fd, "journal " + path + ": cannot lock", &taken); !s.ok() || !taken) {
    ::close(fd);
    if (!s.ok()) return s;
    return JournalInUse(path);
  }
  *file = fd;
  return Status::Ok();
}

void CloseJournalFile(OpenFile file) {
  if (file >= 0) ::close(file);
}

Status ReadFileStart(OpenFile file, const std::string& path, std::size_t size,
                     std::uint64_t* length, std::string* start) {
  struct stat st{};
  if (::fstat(file, &st) != 0) return Status::FromErrno("journal " + path + ": cannot read", errno);
  *length = static_cast<std::uint64_t>(st.st_size);
  start->assign(size, '\0');
  const ssize_t n = ::pread(file, start->data(), size, 0);
  if (n < 0) return Status::FromErrno("journal " + path + ": cannot read", errno);
  start->resize(static_cast<std::size_t>(n));
  return Status::Ok();
}

std::string MakingName(const std::string& path) {
  return path + ".new-" + std::to_string(::getpid());
}

}  // namespace fiskal::service
