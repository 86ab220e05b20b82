// The rotation of the message log (log_file.h), the same on every
// platform, and where fiskald's messages go (system.h's WriteMessage and
// SendMessagesTo): standard error, or a LogFile.

#include "service/os/log_file.h"

#include <cstdio>
#include <mutex>

#include "service/os/system.h"

namespace fiskal::service {

std::string LogFile::OldFile(const std::string& path, int n) {
  return path + "." + std::to_string(n);
}

Status LogFile::Open(const std::string& path, std::uint64_t limit_bytes,
                     std::unique_ptr<LogFile>* log) {
  OpenFile file{};
  std::uint64_t size = 0;
  if (Status s = log_files::OpenToAppend(path, &file, &size); !s.ok()) {
    return s.Context("message log " + path);
  }
  log->reset(new LogFile(path, limit_bytes, file, size));
  return Status::Ok();
}

LogFile::~LogFile() { log_files::Close(file_); }

void LogFile::Write(const std::string& line) {
  std::string text = line;
  text += kLogLineEnd;
  if (size_ > 0 && size_ + text.size() > limit_) Rotate();
  Append(text);
}

void LogFile::Append(std::string_view text) {
  // A failed write (a full disk) cannot be told anywhere better: the
  // message is lost, the count stays true to the file.
  if (log_files::Append(file_, text).ok()) size_ += text.size();
}

// Moves PATH.n-1 to PATH.n, ..., PATH to PATH.1, from the first missing
// old file down (or from the oldest, which is replaced); stops at the
// first rename that fails.
Status LogFile::ShiftOldFiles() {
  int hole = kKeptLogFiles;
  for (int n = 1; n < kKeptLogFiles; ++n) {
    if (!log_files::Exists(OldFile(path_, n))) {
      hole = n;
      break;
    }
  }
  for (int n = hole; n >= 1; --n) {
    const std::string from = n == 1 ? path_ : OldFile(path_, n - 1);
    if (Status s = log_files::Rename(from, OldFile(path_, n)); !s.ok()) return s;
  }
  return Status::Ok();
}

void LogFile::Rotate() {
  std::string failure;
  if (!moved_away_) {
    if (Status s = ShiftOldFiles(); !s.ok()) {
      failure = "cannot rotate it: " + s.message() + "; writing on in it";
    } else {
      moved_away_ = true;
    }
  }
  if (moved_away_) {
    OpenFile fresh{};
    std::uint64_t size = 0;
    if (Status s = log_files::OpenToAppend(path_, &fresh, &size); !s.ok()) {
      failure = "cannot begin it anew: " + s.message() + "; writing on in " + OldFile(path_, 1);
    } else {
      log_files::Close(file_);
      file_ = fresh;
      size_ = size;
      moved_away_ = false;
      said_ = false;
      return;
    }
  }
  if (said_) return;
  said_ = true;
  Append(std::string(kMessagePrefix) + "message log " + path_ + ": " + failure +
         " past its limit of " + std::to_string(limit_) +
         " bytes, and trying again at each message (close a program that holds the log "
         "open; remove what is in the way)" +
         std::string(kLogLineEnd));
}

namespace {
std::mutex messages;
std::unique_ptr<LogFile> message_log;  // else standard error
}  // namespace

void WriteMessage(const std::string& line) {
  std::lock_guard<std::mutex> lock(messages);
  if (message_log) return message_log->Write(line);
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

Status SendMessagesTo(const std::string& path, std::uint64_t limit_bytes) {
  std::unique_ptr<LogFile> log;
  if (Status s = LogFile::Open(path, limit_bytes, &log); !s.ok()) return s;
  std::lock_guard<std::mutex> lock(messages);
  message_log = std::move(log);
  return Status::Ok();
}

}  // namespace fiskal::service
