// The transcript file on POSIX systems: each record goes to the file with
// one write(2) as soon as it is made, so it survives a crash of the program.
// The open file also carries the folder's run lock (line/run_lock.h takes
// it) until closed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "line/run_lock.h"
#include "line/transcript.h"
#include "protocol/transcript_record.h"

namespace fiskal {

namespace {

class FileTranscript : public Transcript {
 public:
  FileTranscript(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  ~FileTranscript() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Status Record(std::string_view text) override {
    if (fd_ < 0) return Status::Error(path_ + ": transcript is closed");
    const std::string record = TranscriptRecord(text);
    std::size_t done = 0;
    while (done < record.size()) {
      const ssize_t n = ::write(fd_, record.data() + done, record.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Status::FromErrno(path_ + ": cannot write", errno);
      }
      done += static_cast<std::size_t>(n);
    }
    return Status::Ok();
  }

  Status Close() override {
    if (fd_ < 0) return Status::Ok();
    const int fd = fd_;
    fd_ = -1;
    if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) {
      const int err = errno;
      ::close(fd);
      return Status::FromErrno(path_ + ": cannot flush to storage", err);
    }
    if (::close(fd) != 0 && errno != EINTR) {
      return Status::FromErrno(path_ + ": cannot close", errno);
    }
    return Status::Ok();
  }

 private:
  std::string path_;
  int fd_;
};

}  // namespace

Status CreateFileTranscript(const std::string& path,
                            std::unique_ptr<Transcript>* transcript) {
  // Opened without truncating: the lock comes first, so that a second run
  // in the same folder leaves the first run's transcript as it is.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return Status::FromErrno(path + ": cannot create", errno);
  if (Status s = LockFolderForRun(fd, path); !s.ok()) {
    ::close(fd);
    return s;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0)) {
    const int err = errno;
    ::close(fd);
    return Status::FromErrno(path + ": cannot empty", err);
  }
  *transcript = std::make_unique<FileTranscript>(path, fd);
  return Status::Ok();
}

}  // namespace fiskal
