// The transcript file on POSIX systems: each record goes to the file with
// one write(2) as soon as it is made, so it survives a crash of the program.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "line/transcript.h"

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
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Status::FromErrno(path + ": cannot create", errno);
  *transcript = std::make_unique<FileTranscript>(path, fd);
  return Status::Ok();
}

}  // namespace fiskal
