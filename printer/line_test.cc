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

#include "protocol/pacing.h"
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

TEST(OverTheLine, ListenerFlagsTextsThatComeTooSoon) {
  TempDir dir;
  const std::string link = dir.File("com1");
  testing::Process listener(
      {FISKAL_PRINTER_BINARY, "listen", "--once", "--json", "--link", link}, dir.path());
  ASSERT_TRUE(testing::WaitForPath(link));
  // A sender that never pauses: the whole receipt in one write.
  const int port = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(port, 0);
  const std::string all = Joined();
  ASSERT_EQ(::write(port, all.data(), all.size()), static_cast<ssize_t>(all.size()));
  ::close(port);

  const testing::ProcessResult heard = listener.Wait();
  EXPECT_EQ(heard.status, 1) << heard.out << heard.err;
  EXPECT_NE(heard.err.find("listening on /dev/pts/"), std::string::npos) << heard.err;
  // One line of JSON: whole and consistent, but every pause missing.
  EXPECT_EQ(heard.out.find('\n'), heard.out.size() - 1) << heard.out;
  for (const std::string part :
       {"{\"file\":\"/dev/pts/", "\"format\":\"line\"",
        "\"bytes\":\"ver.:0.6a\",\"first\":", "\"pauses\":[{\"after\":2,\"seconds\":",
        ",\"longest\":", "\"too_soon\":true},{\"after\":3,",
        "\"paced\":false,\"whole\":true,\"ok\":false,\"problems\":[\"text 3: came "}) {
    EXPECT_NE(heard.out.find(part), std::string::npos) << part << "\n" << heard.out;
  }
  std::size_t problems = 0;
  const std::string needs = "; the printer needs 0.5 s";
  for (std::size_t at = heard.out.find(needs); at != std::string::npos;
       at = heard.out.find(needs, at + 1)) {
    ++problems;
  }
  EXPECT_EQ(problems, kTexts.size() - 2) << heard.out;
}

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
  // Read as the listener does: every read timed when it returns, and the
  // line looked at every 10 ms while quiet, so that a late read cannot
  // make a pause look short.
  std::string got;
  ArrivalLog arrivals;
  arrivals.Quiet(MonotonicNow());
  const double give_up = MonotonicNow() + 60;
  while (got.size() < Joined().size() && MonotonicNow() < give_up) {
    const double looked = MonotonicNow();
    pollfd p{line, POLLIN, 0};
    const int ready = ::poll(&p, 1, 10);
    if (ready == 0) arrivals.Quiet(looked + 0.010);
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(line, buffer, sizeof buffer);
    if (n <= 0) continue;
    arrivals.Read(static_cast<std::size_t>(n), MonotonicNow());
    got.append(buffer, static_cast<std::size_t>(n));
  }
  const testing::ProcessResult sent = fiskal.Wait();
  EXPECT_EQ(sent.status, 0) << sent.err;
  socat.Signal(SIGTERM);
  socat.Wait();
  ::close(line);
  ::close(hold);

  EXPECT_EQ(got, Joined());
  EXPECT_EQ(ReadAll(dir.File("fiskal.log")), Transcript());

  TextSplitter splitter;
  std::vector<RawText> texts = splitter.Feed(got);
  for (RawText& t : splitter.Finish()) texts.push_back(std::move(t));
  const ReceiptReport report = CheckReceipt(texts);
  EXPECT_TRUE(report.ok()) << (report.problems.empty() ? "" : report.problems[0]);
  ASSERT_EQ(texts.size(), kTexts.size());
  std::vector<TimedText> times;
  for (const DecodedText& t : report.texts) times.push_back(arrivals.Time(t.raw, t.kind));
  // After the begin frame and every item frame the line stays quiet. socat
  // passes every text on itself, and on a busy machine it may be late with
  // one by as long as it is kept waiting, which this reader cannot see; so
  // what holds with both cores busy is that every pause is there, allowing
  // socat a quarter of a second.
  const std::vector<Pause> pauses = Pauses(times, 0.25);
  EXPECT_EQ(pauses.size(), kTexts.size() - 2);
  for (const Pause& p : pauses) EXPECT_FALSE(p.too_soon) << PauseProblem(p);
}

}  // namespace
}  // namespace fiskal
