// The transcript file on Windows: binary writes (no newline translation),
// each record passed to the system as soon as it is made. The open file
// carries the folder's run lock (line/run_lock.h takes it) until closed.

#include <windows.h>

#include "line/run_lock.h"
#include "line/transcript.h"
#include "protocol/transcript_record.h"

namespace fiskal {

namespace {

class FileTranscript : public Transcript {
 public:
  FileTranscript(std::string path, HANDLE file) : path_(std::move(path)), file_(file) {}
  ~FileTranscript() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }

  Status Record(std::string_view text) override {
    if (file_ == INVALID_HANDLE_VALUE) return Status::Error(path_ + ": transcript is closed");
    const std::string record = TranscriptRecord(text);
    std::size_t done = 0;
    while (done < record.size()) {
      DWORD n = 0;
      if (!WriteFile(file_, record.data() + done, static_cast<DWORD>(record.size() - done), &n,
                     nullptr)) {
        return Status::FromWindowsError(path_ + ": cannot write", GetLastError());
      }
      done += n;
    }
    return Status::Ok();
  }

  Status Close() override {
    if (file_ == INVALID_HANDLE_VALUE) return Status::Ok();
    HANDLE file = file_;
    file_ = INVALID_HANDLE_VALUE;
    Status status;
    if (!FlushFileBuffers(file)) {
      status = Status::FromWindowsError(path_ + ": cannot flush to storage", GetLastError());
    }
    CloseHandle(file);
    return status;
  }

 private:
  std::string path_;
  HANDLE file_;
};

}  // namespace

Status CreateFileTranscript(const std::string& path,
                            std::unique_ptr<Transcript>* transcript) {
  // Opened without truncating: the lock comes first, so that a second run
  // in the same folder leaves the first run's transcript as it is.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return Status::FromWindowsError(path + ": cannot create", GetLastError());
  }
  if (Status s = LockFolderForRun(file, path); !s.ok()) {
    CloseHandle(file);
    return s;
  }
  if (!SetEndOfFile(file)) {  // the position is 0 on a fresh open
    const DWORD err = GetLastError();
    CloseHandle(file);
    return Status::FromWindowsError(path + ": cannot empty", err);
  }
  *transcript = std::make_unique<FileTranscript>(path, file);
  return Status::Ok();
}

}  // namespace fiskal
