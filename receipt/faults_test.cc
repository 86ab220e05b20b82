// The binary against faults: a second run, a transcript that cannot be
// written, a line that goes away, stop signals, a device it may not open.
// Ports are pseudo-terminals; no real serial device is ever opened.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "testing/ports.h"
#include "testing/process.h"
#include "testing/pty.h"
#include "testing/temp_dir.h"

namespace fiskal {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

const std::string kBread = "1\tBREAD\t1\t100\t250\tpcs\t\r\n";
const std::string kVersionRecord = "\"ver.:0.6a\"\r\n";
const std::string kBeginRecord = "\"\x1bP0;0$h88\x1b\\\"\r\n";
const std::string kBreadRecord = "\"\x1bP1;0$lBREAD\r1.00\rA/2.50/2.50/AC\x1b\\\"\r\n";
const std::string kFirstThreeRecords =
    "\"ver.:0.6a\"\r\n"
    "\"\x1bP0;0$h88\x1b\\\"\r\n"
    "\"\x1bP1;0$lBREAD\r1.00\rA/2.50/2.50/AC\x1b\\\"\r\n";

std::string Receipt(char port, int items) {
  std::string input = std::string(1, port) + ";THANK YOU\r\n";
  for (int i = 0; i < items; ++i) input += kBread;
  return input;
}

// Waits until the file holds at least `records` transcript records.
bool WaitForRecords(const std::string& path, int records, double seconds = 30) {
  const double deadline = testing::MonotonicNow() + seconds;
  while (testing::MonotonicNow() < deadline) {
    const std::string log = ::access(path.c_str(), F_OK) == 0 ? ReadAll(path) : "";
    int n = 0;
    for (std::size_t at = log.find("\"\r\n"); at != std::string::npos;
         at = log.find("\"\r\n", at + 1)) {
      ++n;
    }
    if (n >= records) return true;
    usleep(2000);
  }
  return false;
}

TEST(Faults, SecondRunInTheSameFolderFailsAtOnce) {
  TempDir dir;
  WriteAll(dir.File("fiskal.txt"), Receipt('0', 2));
  testing::PointPortsAt(0, "");
  testing::Process first({FISKAL_BINARY}, dir.path());
  ASSERT_TRUE(WaitForRecords(dir.File("fiskal.log"), 2));
  // Held mid-run, however long the second run takes to start.
  ASSERT_TRUE(first.Stop());
  const testing::ProcessResult second = testing::RunProcess({FISKAL_BINARY}, dir.path());
  first.Continue();
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.err,
            "fiskal: fiskal.log: another receipt run is using this folder; nothing was sent\n");
  const testing::ProcessResult done = first.Wait();
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")).substr(0, kVersionRecord.size() + kBeginRecord.size()),
            kVersionRecord + kBeginRecord);
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")).size(),
            kVersionRecord.size() + kBeginRecord.size() + 2 * kBreadRecord.size() +
                std::string("\"\x1bP1;0;1$e\rTHANK YOU\r0.00/5.00/B0\x1b\\\"\r\n").size());
}

TEST(Faults, SecondRunOnTheSameDeviceFromAnotherFolderSendsNothing) {
  TempDir one, two;
  testing::Pty pty;
  WriteAll(one.File("fiskal.txt"), Receipt('1', 2));
  WriteAll(two.File("fiskal.txt"), Receipt('4', 1));
  const std::string link = two.File("same-printer");
  ASSERT_EQ(::symlink(pty.path().c_str(), link.c_str()), 0);

  testing::PointPortsAt(1, pty.path());
  testing::Process first({FISKAL_BINARY}, one.path());
  ASSERT_TRUE(WaitForRecords(one.File("fiskal.log"), 2));
  ASSERT_TRUE(first.Stop());  // held mid-run, its port locked
  testing::PointPortsAt(4, link);
  const testing::ProcessResult second = testing::RunProcess({FISKAL_BINARY}, two.path());
  first.Continue();
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("fiskal: port 4 (" + link + ") is in use by another receipt run"),
            std::string::npos)
      << second.err;
  EXPECT_EQ(ReadAll(two.File("fiskal.log")), "");
  EXPECT_EQ(first.Wait().status, 0);
}

TEST(Faults, TranscriptThatCannotBeWrittenNamesTheTextSentButNotRecorded) {
  TempDir dir;
  testing::Pty pty;
  WriteAll(dir.File("fiskal.txt"), Receipt('1', 1));
  ASSERT_EQ(::symlink("/dev/full", dir.File("fiskal.log").c_str()), 0);
  testing::PointPortsAt(1, pty.path());
  const testing::ProcessResult r = testing::RunProcess({FISKAL_BINARY}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "fiskal: version text (text 1 of 4): sent to the printer but not "
            "recorded: fiskal.log: cannot write: No space left on device; "
            "nothing is recorded in fiskal.log; no receipt was begun on the printer\n");
  EXPECT_EQ(pty.Read(9), "ver.:0.6a");
}

// fiskal.log made a pipe that the test reads, with room left for `room`
// bytes only: the record that does not fit holds the run in its write, and
// so between two texts, until the test reads the pipe (ReadToEnd).
class HeldTranscript {
 public:
  HeldTranscript(const std::string& path, std::size_t room) {
    if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + path);
    read_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int write = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    // One page: the least a pipe holds, so that what is left is `room`.
    ::fcntl(write, F_SETPIPE_SZ, static_cast<int>(::sysconf(_SC_PAGESIZE)));
    const int capacity = ::fcntl(write, F_GETPIPE_SZ);
    if (read_ < 0 || write < 0 || capacity < static_cast<int>(room)) {
      throw std::runtime_error("cannot make the pipe " + path);
    }
    filler_ = static_cast<std::size_t>(capacity) - room;
    const std::string filler(filler_, '#');
    const bool filled = ::write(write, filler.data(), filler.size()) ==
                        static_cast<ssize_t>(filler.size());
    ::close(write);
    if (!filled) throw std::runtime_error("cannot fill the pipe " + path);
    ::fcntl(read_, F_SETFL, 0);  // reads wait from now on
  }
  ~HeldTranscript() { ::close(read_); }
  HeldTranscript(const HeldTranscript&) = delete;
  HeldTranscript& operator=(const HeldTranscript&) = delete;

  // What the run recorded, once it has closed the transcript.
  std::string ReadToEnd() {
    std::string all;
    char buffer[4096];
    for (ssize_t n; (n = ::read(read_, buffer, sizeof buffer)) > 0;) {
      all.append(buffer, static_cast<std::size_t>(n));
    }
    return all.substr(std::min(filler_, all.size()));
  }

 private:
  int read_ = -1;
  std::size_t filler_ = 0;
};

// The text a transcript record holds.
std::string TextOf(const std::string& record) { return record.substr(1, record.size() - 4); }

TEST(Faults, LineThatGoesAwayMidRun) {
  TempDir dir;
  auto pty = std::make_unique<testing::Pty>();
  const std::string device = pty->path();
  WriteAll(dir.File("fiskal.txt"), Receipt('1', 3));
  // The record of item 1 does not fit: the run waits in it, item 1 sent,
  // item 2 not yet, for as long as the test takes.
  HeldTranscript log(dir.File("fiskal.log"), kVersionRecord.size() + kBeginRecord.size());
  testing::PointPortsAt(1, device);
  testing::Process run({FISKAL_BINARY}, dir.path());
  const std::string sent = TextOf(kVersionRecord) + TextOf(kBeginRecord) + TextOf(kBreadRecord);
  ASSERT_EQ(pty->Read(sent.size()), sent);
  // The run has closed the device after item 1 once nothing holds it.
  pty->CloseSlave();
  ASSERT_TRUE(pty->WaitUntilSlaveClosed());
  // Unplugged: the device goes away. The test holds the device end until
  // the run is over, so that the system does not hand the same device name
  // to a test running beside this one meanwhile.
  pty->OpenSlave();
  pty->CloseMaster();
  const std::string records = log.ReadToEnd();
  const testing::ProcessResult r = run.Wait();
  pty.reset();
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("fiskal: item 2 (text 4 of 6): port 1 (" + device + "): cannot open"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("the 3 texts before it went out and are recorded in fiskal.log; "
                       "the receipt is left open on the printer without its end frame"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(records, kFirstThreeRecords);
}

TEST(Faults, StopSignalDuringAPauseEndsTheRunBeforeTheNextText) {
  for (int signal : {SIGINT, SIGTERM}) {
    TempDir dir;
    WriteAll(dir.File("fiskal.txt"), Receipt('0', 3));
    testing::PointPortsAt(0, "");
    testing::Process run({FISKAL_BINARY}, dir.path());
    ASSERT_TRUE(WaitForRecords(dir.File("fiskal.log"), 3));
    run.Signal(signal);
    const testing::ProcessResult r = run.Wait();
    EXPECT_EQ(r.status, 2);
    const std::string start = signal == SIGINT ? "fiskal: stopped by SIGINT after text "
                                               : "fiskal: stopped by SIGTERM after text ";
    EXPECT_EQ(r.err.rfind(start, 0), 0u) << r.err;
    // Whatever text it stopped after, the transcript holds whole records of
    // exactly the texts before the stop, and no end frame.
    const std::string log = ReadAll(dir.File("fiskal.log"));
    EXPECT_EQ(log.substr(0, kFirstThreeRecords.size()), kFirstThreeRecords);
    EXPECT_EQ((log.size() - kVersionRecord.size() - kBeginRecord.size()) % kBreadRecord.size(),
              0u);
    EXPECT_EQ(log.find("$e"), std::string::npos);
  }
}

TEST(Faults, StopSignalDuringASendLetsTheTextFinish) {
  TempDir dir;
  testing::Pty pty;
  termios t{};
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  cfsetospeed(&t, B4800);
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &t), 0);
  ASSERT_EQ(tcflow(pty.slave(), TCOOFF), 0);  // the line takes nothing yet

  WriteAll(dir.File("fiskal.txt"), Receipt('1', 1));
  testing::PointPortsAt(1, pty.path());
  testing::Process run({FISKAL_BINARY}, dir.path());
  // The line is set to 9600 just before the version text is written.
  const double deadline = testing::MonotonicNow() + 30;
  while (cfgetospeed(&t) != B9600 && testing::MonotonicNow() < deadline) {
    usleep(1000);
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  }
  ASSERT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  run.Signal(SIGINT);
  // The line comes back only once the run has taken the signal, so the
  // stop is asked for while the text is still going out.
  ASSERT_TRUE(run.WaitUntilTaken(SIGINT));
  ASSERT_EQ(tcflow(pty.slave(), TCOON), 0);  // well within the 2 s deadline

  const testing::ProcessResult r = run.Wait();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "fiskal: stopped by SIGINT after text 1 of 4 (version text); the 1 "
            "text before it went out and is recorded in fiskal.log; no receipt "
            "was begun on the printer\n");
  EXPECT_EQ(pty.Read(9), "ver.:0.6a");
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")), kVersionRecord);
}

TEST(Faults, DeviceTheUserMayNotOpen) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the binary as another user";
  if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv not installed";
  TempDir dir;
  testing::Pty pty;  // owned by root, not open to others
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  WriteAll(dir.File("fiskal.txt"), Receipt('2', 1));
  ASSERT_EQ(::chmod(dir.File("fiskal.txt").c_str(), 0644), 0);
  ASSERT_EQ(::chmod(pty.path().c_str(), 0600), 0);
  testing::PointPortsAt(2, pty.path());
  const testing::ProcessResult r = testing::RunProcess(
      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
       FISKAL_BINARY},
      dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "fiskal: version text (text 1 of 4): port 2 (" + pty.path() +
                "): cannot open: Permission denied (permission denied; add the "
                "user to the group dialout); nothing is recorded in fiskal.log; "
                "no receipt was begun on the printer\n");
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")), "");
}

}  // namespace
}  // namespace fiskal
