// fiskal end to end over a serial line: against the listener of
// fiskal-printer, and over a null-modem pair of pseudo-terminals made by
// socat. No real serial device is ever opened.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "protocol/receipt_check.h"
#include "protocol/text_splitter.h"
#include "testing/ports.h"
#include "testing/process.h"
#include "testing/pty.h"
#include "testing/temp_dir.h"

namespace fiskal {
namespace {

using testing::MonotonicNow;
using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

// National letters (single bytes of a code page), a footer with an LF, and
// a second item that carries quantity and price over from the first.
const std::string kInput =
    "1;THANK YOU\nSEE YOU AGAIN\r\n"
    "1\t\xa3\xf3\x64\x9f ROLLS\t1\t200\t125\tpcs\t\r\n"
    "2\t\xaf\xd3\xa3TY SER\t2\t\r\n"
    "3\tWODA\t3\t150\t199\tl\t\r\n";

const std::vector<std::string> kTexts = {
    "ver.:0.6a",
    "\x1bP0;0$h88\x1b\\",
    "\x1bP1;0$l\xa3\xf3\x64\x9f ROLLS\r2.00\rA/1.25/2.50/3B\x1b\\",
    "\x1bP2;0$l\xaf\xd3\xa3TY SER\r2.00\rB/1.25/2.50/48\x1b\\",
    "\x1bP3;0$lWODA\r1.50\rC/1.99/2.99/E7\x1b\\",
    "\x1bP1;0;1$e\rTHANK YOU\nSEE YOU AGAIN\r0.00/7.99/E8\x1b\\",
};

std::string Joined() {
  std::string all;
  for (const std::string& t : kTexts) all += t;
  return all;
}

std::string Transcript() {
  std::string all;
  for (const std::string& t : kTexts) all += "\"" + t + "\"\r\n";
  return all;
}

TEST(OverTheLine, ListenerDecodesWhatFiskalSends) {
  TempDir dir;
  WriteAll(dir.File("fiskal.txt"), kInput);
  const std::string link = dir.File("com1");
  testing::Process listener({FISKAL_PRINTER_BINARY, "listen", "--once", "--link",
                             link, "--capture", dir.File("capture.bin")},
                            dir.path());
  ASSERT_TRUE(testing::WaitForPath(link));

  testing::PointPortsAt(1, link);
  const testing::ProcessResult fiskal = testing::RunProcess({FISKAL_BINARY}, dir.path());
  EXPECT_EQ(fiskal.status, 0) << fiskal.err;

  const testing::ProcessResult heard = listener.Wait();
  EXPECT_EQ(heard.status, 0) << heard.out << heard.err;
  EXPECT_EQ(ReadAll(dir.File("capture.bin")), Joined());
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")), Transcript());
  for (const std::string line :
       {"] item 1        \xa3\xf3\x64\x9f ROLLS  2.00 x 1.25 = 2.50  A",
        "] item 2        \xaf\xd3\xa3TY SER  2.00 x 1.25 = 2.50  B",
        "] item 3        WODA  1.50 x 1.99 = 2.99  C",
        "] end frame     total 7.99  footer \"THANK YOU\\nSEE YOU AGAIN\"",
        "--- receipt whole and consistent, correctly paced"}) {
    EXPECT_NE(heard.out.find(line), std::string::npos) << line << "\n" << heard.out;
  }
  EXPECT_FALSE(testing::WaitForPath(link, 0)) << "the link outlived the listener";
}

TEST(OverTheLine, ListenerEndsCleanlyOnSignals) {
  for (int signal : {SIGINT, SIGTERM}) {
    TempDir dir;
    const std::string link = dir.File("com1");
    testing::Process listener({FISKAL_PRINTER_BINARY, "listen", "--link", link},
                              dir.path());
    ASSERT_TRUE(testing::WaitForPath(link));
    listener.Signal(signal);
    const testing::ProcessResult r = listener.Wait();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("stopped by SIG"), std::string::npos) << r.out;
    EXPECT_FALSE(testing::WaitForPath(link, 0));
  }
}

// Bytes read off one end of a line, with the time each read brought them.
struct Arrivals {
  std::string bytes;
  std::vector<std::pair<std::size_t, double>> reads;  // offset, time

  double At(std::size_t offset) const {
    double time = 0;
    for (const auto& [start, when] : reads) {
      if (start <= offset) time = when;
    }
    return time;
  }
};

TEST(OverTheLine, NullModemPairMadeBySocat) {
  TempDir dir;
  WriteAll(dir.File("fiskal.txt"), kInput);
  const std::string a = dir.File("A");
  const std::string b = dir.File("B");
  testing::Process socat({"socat", "-d", "-d", "pty,raw,echo=0,link=" + a,
                          "pty,raw,echo=0,link=" + b},
                         dir.path());
  ASSERT_TRUE(testing::WaitForPath(a) && testing::WaitForPath(b))
      << "socat did not make its pair (is socat installed?)";

  // A cable stays plugged in when the sender closes its port between
  // texts; holding end A open keeps socat from taking the close for a
  // hang-up.
  const int hold = ::open(a.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(hold, 0);
  const int line = ::open(b.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(line, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(line, &t), 0);
  cfmakeraw(&t);
  ASSERT_EQ(tcsetattr(line, TCSANOW, &t), 0);

  testing::PointPortsAt(1, a);
  testing::Process fiskal({FISKAL_BINARY}, dir.path());
  Arrivals got;
  const double give_up = MonotonicNow() + 60;
  while (got.bytes.size() < Joined().size() && MonotonicNow() < give_up) {
    pollfd p{line, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(line, buffer, sizeof buffer);
    if (n <= 0) continue;
    got.reads.push_back({got.bytes.size(), MonotonicNow()});
    got.bytes.append(buffer, static_cast<std::size_t>(n));
  }
  const testing::ProcessResult sent = fiskal.Wait();
  EXPECT_EQ(sent.status, 0) << sent.err;
  socat.Signal(SIGTERM);
  socat.Wait();
  ::close(line);
  ::close(hold);

  EXPECT_EQ(got.bytes, Joined());
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")), Transcript());

  TextSplitter splitter;
  std::vector<RawText> texts = splitter.Feed(got.bytes);
  for (RawText& t : splitter.Finish()) texts.push_back(std::move(t));
  const ReceiptReport report = CheckReceipt(texts);
  EXPECT_TRUE(report.ok()) << (report.problems.empty() ? "" : report.problems[0]);
  ASSERT_EQ(texts.size(), kTexts.size());
  // After the begin frame and every item frame the line stays quiet for
  // 0.5 s (less a few ms for this reader's own scheduling).
  for (std::size_t i = 1; i + 1 < texts.size(); ++i) {
    const double frame_end = got.At(texts[i].offset + texts[i].bytes.size() - 1);
    const double next = got.At(texts[i + 1].offset);
    EXPECT_GE(next - frame_end, 0.5 - 0.005) << "after text " << i + 1;
  }
}

}  // namespace
}  // namespace fiskal
