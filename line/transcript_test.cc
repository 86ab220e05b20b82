#include "line/transcript.h"

#include <gtest/gtest.h>

#include "testing/temp_dir.h"

namespace fiskal {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

TEST(FileTranscript, WritesRecordsByteForByteAndEmptiesAnOldFile) {
  TempDir dir;
  const std::string path = dir.File("fiskal.log");
  WriteAll(path, "old contents that must go");
  std::unique_ptr<Transcript> transcript;
  ASSERT_TRUE(CreateFileTranscript(path, &transcript).ok());
  EXPECT_EQ(ReadAll(path), "");
  ASSERT_TRUE(transcript->Record("ver.:0.6a").ok());
  // Each record is in the file as soon as Record returns.
  EXPECT_EQ(ReadAll(path), "\"ver.:0.6a\"\r\n");
  ASSERT_TRUE(transcript->Record(std::string("\x1bP\xb1\x00\r\n\"\x1b\\", 9)).ok());
  ASSERT_TRUE(transcript->Close().ok());
  EXPECT_EQ(ReadAll(path), std::string("\"ver.:0.6a\"\r\n"
                                       "\"\x1bP\xb1\x00\r\n\"\x1b\\\"\r\n",
                                       26));
}

TEST(FileTranscript, CreateFailureNamesThePath) {
  TempDir dir;
  const std::string path = dir.File("no-such-folder/fiskal.log");
  std::unique_ptr<Transcript> transcript;
  const Status s = CreateFileTranscript(path, &transcript);
#ifdef _WIN32
  EXPECT_EQ(s.message().rfind(path + ": cannot create: ", 0), 0u) << s.message();
  EXPECT_NE(s.message().find("(error 3)"), std::string::npos) << s.message();
#else
  EXPECT_EQ(s.message(), path + ": cannot create: No such file or directory");
#endif
}

TEST(FolderRunLock, SecondTranscriptInTheSameFolderIsRefusedAndLeavesTheFirst) {
  TempDir dir;
  const std::string path = dir.File("fiskal.log");
  std::unique_ptr<Transcript> first;
  ASSERT_TRUE(CreateFileTranscript(path, &first).ok());
  ASSERT_TRUE(first->Record("ver.:0.6a").ok());

  std::unique_ptr<Transcript> second;
  const Status s = CreateFileTranscript(path, &second);
  EXPECT_EQ(s.message(), path + ": another receipt run is using this folder");
  EXPECT_EQ(ReadAll(path), "\"ver.:0.6a\"\r\n");  // not emptied, and readable

  ASSERT_TRUE(first->Close().ok());
  first.reset();
  EXPECT_TRUE(CreateFileTranscript(path, &second).ok());
  EXPECT_EQ(ReadAll(path), "");
}

#ifndef _WIN32
TEST(FileTranscript, WriteFailureIsReported) {
  std::unique_ptr<Transcript> transcript;
  ASSERT_TRUE(CreateFileTranscript("/dev/full", &transcript).ok());
  const Status s = transcript->Record("ver.:0.6a");
  EXPECT_EQ(s.message(), "/dev/full: cannot write: No space left on device");
  EXPECT_TRUE(transcript->Close().ok());
}
#endif

}  // namespace
}  // namespace fiskal
