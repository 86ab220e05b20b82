#include "service/os/log_file.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "testing/temp_dir.h"

namespace fiskal::service {
namespace {

namespace fs = std::filesystem;
using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

constexpr std::uint64_t kLimit = 64;
const std::string kEnd(kLogLineEnd);

// A message of `c`s that takes `bytes` in the file, its line end with it.
std::string Message(char c, std::size_t bytes) { return std::string(bytes - kEnd.size(), c); }
// The same as the file holds it.
std::string Written(char c, std::size_t bytes) { return Message(c, bytes) + kEnd; }

// What the folder holds, by name: a file's bytes, or "(folder)".
std::map<std::string, std::string> Contents(const std::string& folder) {
  std::map<std::string, std::string> found;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    found[name] = e.is_directory() ? "(folder)" : ReadAll(e.path().string());
  }
  return found;
}

// The log rotates on the real file system, with the file open (on Windows,
// renamed while open: it is shared for deletion).
TEST(LogFile, RotatesBeforeAMessageWouldPassTheLimit) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> before;  // files there before it opens
    std::vector<std::string> messages;          // written in turn
    std::map<std::string, std::string> after;   // every file afterwards
  };
  const Case cases[] = {
      {"a message that fills the file exactly stays in it",
       {},
       {Message('a', 32), Message('b', 32)},
       {{"fiskald.log", Written('a', 32) + Written('b', 32)}}},
      {"one byte more begins a new file, the message whole in it",
       {},
       {Message('a', 32), Message('b', 33)},
       {{"fiskald.log.1", Written('a', 32)}, {"fiskald.log", Written('b', 33)}}},
      {"a message longer than the limit has a file of its own",
       {},
       {Message('a', 10), Message('b', 100), Message('c', 10)},
       {{"fiskald.log.2", Written('a', 10)},
        {"fiskald.log.1", Written('b', 100)},
        {"fiskald.log", Written('c', 10)}}},
      {"into an empty file, a message longer than the limit is written whole",
       {},
       {Message('b', 100)},
       {{"fiskald.log", Written('b', 100)}}},
      {"three rotations keep three old files; the fourth drops the oldest",
       {},
       {Message('a', 64), Message('b', 64), Message('c', 64), Message('d', 64), Message('e', 64)},
       {{"fiskald.log.3", Written('b', 64)},
        {"fiskald.log.2", Written('c', 64)},
        {"fiskald.log.1", Written('d', 64)},
        {"fiskald.log", Written('e', 64)}}},
      {"what the file held before counts, and old files of before move on",
       {{"fiskald.log", Written('x', 60)},
        {"fiskald.log.1", Written('y', 5)},
        {"fiskald.log.2", Written('z', 5)},
        {"fiskald.log.3", Written('w', 5)}},
       {Message('a', 10)},
       {{"fiskald.log.3", Written('z', 5)},
        {"fiskald.log.2", Written('y', 5)},
        {"fiskald.log.1", Written('x', 60)},
        {"fiskald.log", Written('a', 10)}}},
      {"old files move only up to the first missing one: none is dropped",
       {{"fiskald.log", Written('x', 60)},
        {"fiskald.log.2", Written('y', 5)},
        {"fiskald.log.3", Written('z', 5)}},
       {Message('a', 10)},
       {{"fiskald.log.3", Written('z', 5)},
        {"fiskald.log.2", Written('y', 5)},
        {"fiskald.log.1", Written('x', 60)},
        {"fiskald.log", Written('a', 10)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    for (const auto& [name, bytes] : c.before) WriteAll(dir.File(name), bytes);
    {
      std::unique_ptr<LogFile> log;
      ASSERT_TRUE(LogFile::Open(dir.File("fiskald.log"), kLimit, &log).ok());
      for (const std::string& m : c.messages) log->Write(m);
    }
    EXPECT_EQ(Contents(dir.path()), c.after);
  }
}

// A rename that fails loses no message: the current file takes them, says
// why once, and the next message that overflows tries again.
TEST(LogFile, AFailedRenameLosesNothingAndIsToldOnce) {
  TempDir dir;
  const std::string path = dir.File("fiskald.log");
  // Folders with a file in each where the old files go: PATH.2 cannot
  // replace PATH.3.
  for (int n = 1; n <= kKeptLogFiles; ++n) {
    fs::create_directories(LogFile::OldFile(path, n));
    WriteAll(LogFile::OldFile(path, n) + "/inside", "x");
  }
  std::unique_ptr<LogFile> log;
  ASSERT_TRUE(LogFile::Open(path, kLimit, &log).ok());
  for (char c : {'a', 'b', 'c'}) log->Write(Message(c, 40));

  const std::string held = ReadAll(path);
  const std::string said = "fiskald: message log " + path + ": cannot rotate it: ";
  const std::size_t note = held.find(said);
  ASSERT_NE(note, std::string::npos) << held;
  EXPECT_EQ(held.find(said, note + 1), std::string::npos) << "told once:\n" << held;
  const std::string note_line = held.substr(note, held.find(kEnd, note) + kEnd.size() - note);
  EXPECT_NE(note_line.find("past its limit of 64 bytes"), std::string::npos) << note_line;
  EXPECT_EQ(held, Written('a', 40) + note_line + Written('b', 40) + Written('c', 40));
  EXPECT_EQ(Contents(dir.path()).at("fiskald.log.1"), "(folder)");

  // Out of the way: the next message rotates what was held.
  for (int n = 1; n <= kKeptLogFiles; ++n) fs::remove_all(LogFile::OldFile(path, n));
  log->Write(Message('d', 10));
  const std::map<std::string, std::string> want = {{"fiskald.log.1", held},
                                                   {"fiskald.log", Written('d', 10)}};
  EXPECT_EQ(Contents(dir.path()), want);
}

#ifdef _WIN32
// On Windows a program that reads the log without sharing its deletion
// (as most do) keeps it from being renamed while it holds it: the log
// writes on in it and rotates once it is let go.
TEST(LogFile, AReaderThatDoesNotShareDeletionDelaysTheRotation) {
  TempDir dir;
  const std::string path = dir.File("fiskald.log");
  std::unique_ptr<LogFile> log;
  ASSERT_TRUE(LogFile::Open(path, kLimit, &log).ok());
  log->Write(Message('a', 40));
  const HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  log->Write(Message('b', 40));
  CloseHandle(reader);
  const std::string held = ReadAll(path);
  EXPECT_NE(held.find("cannot rotate it"), std::string::npos) << held;
  EXPECT_EQ(held.rfind(Written('b', 40)), held.size() - 40);
  log->Write(Message('c', 40));
  const std::map<std::string, std::string> want = {{"fiskald.log.1", held},
                                                   {"fiskald.log", Written('c', 40)}};
  EXPECT_EQ(Contents(dir.path()), want);
}
#endif

}  // namespace
}  // namespace fiskal::service
