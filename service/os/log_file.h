// fiskald's message log file and its rotation, the rule written here only:
// when a message would take the file past its limit, FILE becomes FILE.1
// (FILE.1 becomes FILE.2, FILE.2 becomes FILE.3, and the FILE.3 before is
// removed) and a new FILE begins; kKeptLogFiles old files are kept, so the
// log takes (kKeptLogFiles + 1) limits of disk at most, and one message
// more. A message is written whole into one file, never split: one longer
// than the limit fills a file of its own. When a rename fails (another
// program holds the file, a folder in the way) nothing is lost: the
// message goes on into the current file, which says why once, and the
// next message tries again. Only as many old files move as there are up to
// the first missing one, so a rename that keeps failing removes none.
// The rule is the same on every platform (log_file.cc); the file is opened
// so that it can be renamed while open (on Windows: shared for deletion),
// by log_file-posix.cc and log_file-win32.cc. The limit's default and its
// bounds (fiskald --log-limit, service/options.h) are here too.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/open_file.h"
#include "base/status.h"

namespace fiskal::service {

inline constexpr std::uint64_t kDefaultLogLimit = std::uint64_t{10} << 20;  // 10 MiB
inline constexpr std::uint64_t kMinLogLimit = std::uint64_t{64} << 10;      // 64 KiB
inline constexpr std::uint64_t kMaxLogLimit = std::uint64_t{1} << 30;       // 1 GiB
inline constexpr int kKeptLogFiles = 3;

// Lines end as the system's own tools end them.
#ifdef _WIN32
inline constexpr std::string_view kLogLineEnd = "\r\n";
#else
inline constexpr std::string_view kLogLineEnd = "\n";
#endif

class LogFile {
 public:
  // Opens (makes when missing) the file at `path` to write at its end;
  // what it holds already counts towards `limit_bytes`.
  static Status Open(const std::string& path, std::uint64_t limit_bytes,
                     std::unique_ptr<LogFile>* log);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Writes `line` and the line end, whole, rotating first when the file
  // would pass its limit. Not for two threads at once.
  void Write(const std::string& line);

  // The name of the n-th old file: "PATH.n".
  static std::string OldFile(const std::string& path, int n);

 private:
  LogFile(std::string path, std::uint64_t limit, OpenFile file, std::uint64_t size)
      : path_(std::move(path)), limit_(limit), file_(file), size_(size) {}
  void Rotate();
  Status ShiftOldFiles();
  void Append(std::string_view text);

  const std::string path_;
  const std::uint64_t limit_;
  OpenFile file_;
  std::uint64_t size_;       // bytes in the open file
  bool moved_away_ = false;  // the open file is PATH.1 already; a new PATH could not be opened
  bool said_ = false;        // this spell of failures is told in the file
};

// The file operations the log needs, one file per platform.
namespace log_files {

// Opens `path` to append (made when missing), so that it may be renamed
// while open; *size is what it holds.
Status OpenToAppend(const std::string& path, OpenFile* file, std::uint64_t* size);
// Writes all of `bytes` at the file's end.
Status Append(OpenFile file, std::string_view bytes);
void Close(OpenFile file);
// Whether anything (a file, a folder) is at `path`.
bool Exists(const std::string& path);
// Renames `from` to `to`, replacing a file at `to`.
Status Rename(const std::string& from, const std::string& to);

}  // namespace log_files

}  // namespace fiskal::service
