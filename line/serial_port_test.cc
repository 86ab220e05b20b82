// The serial port against a pseudo-terminal; never against a real device.

#include "line/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "testing/now.h"
#include "testing/pty.h"
#include "testing/temp_dir.h"

namespace fiskal {
namespace {

using testing::Pty;


bool Has(const Status& s, const std::string& part) {
  return s.message().find(part) != std::string::npos;
}

// Only names are compared here; no test opens a device of the system's
// own (testing/ports.cc points every port elsewhere).
TEST(PortDevice, VariableElseTheSystemsSerialPort) {
  EXPECT_EQ(PortVariable(1), "FISKAL_COM1");
  EXPECT_EQ(PortDevice(1, "/dev/serial/by-id/usb-x"), "/dev/serial/by-id/usb-x");
  for (std::uint8_t n = 1; n <= 9; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(PortDevice(n, nullptr), SystemPortDevice(n));
    EXPECT_EQ(PortDevice(n, ""), SystemPortDevice(n));
    // Port n is the system's n-th serial port, counted from 0.
    const std::string device = SystemPortDevice(n);
    EXPECT_EQ(device.substr(device.size() - 1), std::to_string(n - 1));
  }
}

TEST(SerialPort, EveryByteArrivesUnchangedEvenFromACookedLine) {
  Pty pty;
  // Leave the line the way a terminal would be: output processing that
  // turns LF into CR LF, canonical input, echo.
  termios t{};
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  t.c_oflag |= OPOST | ONLCR | OCRNL;
  t.c_lflag |= ICANON | ECHO | ISIG;
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &t), 0);

  std::string text = "\x1bP1;0$lNAME\nWITH LF\r\xb1\xea\"/;\x1b\\";
  for (int b = 0; b < 256; ++b) text += static_cast<char>(b);
  auto port = NewSerialPort(1, pty.path());
  const Status s = port->Send(text);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(pty.Read(text.size()), text);
  EXPECT_EQ(pty.ReadFor(0.05), "");  // nothing more: no CR or LF appended
}

TEST(SerialPort, LeavesTheLineAt9600RawWithHupclOff) {
  Pty pty;
  termios t{};
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  cfsetispeed(&t, B4800);
  cfsetospeed(&t, B4800);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CLOCAL);
  t.c_cflag |= CS7 | PARENB | PARODD | CSTOPB | HUPCL | CRTSCTS;
  t.c_iflag |= IXON | IXOFF | ICRNL;
  t.c_oflag |= OPOST | ONLCR;
  t.c_lflag |= ICANON | ECHO | ISIG;
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &t), 0);

  const Status s = NewSerialPort(1, pty.path())->Send("x");
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(pty.Read(1), "x");

  termios after{};
  ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B9600));
  EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB | HUPCL | CRTSCTS), 0u);
  EXPECT_EQ(after.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(after.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(after.c_oflag & OPOST, 0u);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG), 0u);
}

TEST(SerialPort, PathThatCannotBeOpened) {
  testing::TempDir dir;
  const std::string path = dir.File("no-such-device");
  const Status s = NewSerialPort(2, path)->Send("x");
  EXPECT_EQ(s.message(),
            "port 2 (" + path + "): cannot open: No such file or directory "
            "(no such device; check the port digit in fiskal.txt or set "
            "FISKAL_COM2 to the printer's device)");
}

TEST(SerialPort, PathThatIsNotATerminal) {
  testing::TempDir dir;
  const std::string path = dir.File("plain-file");
  testing::WriteAll(path, "unchanged");
  const Status s = NewSerialPort(1, path)->Send("x");
  EXPECT_EQ(s.message(), "port 1 (" + path +
                             "): not a serial port (the path is not a "
                             "terminal device)");
  EXPECT_EQ(testing::ReadAll(path), "unchanged");
}

TEST(SerialPort, PortLockedByAnotherProgramIsInUse) {
  Pty pty;
  const int other = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  const Status s = NewSerialPort(1, pty.path())->Send("x");
  EXPECT_TRUE(Has(s, "port in use")) << s.message();
  EXPECT_EQ(pty.ReadFor(0.05), "");
  ::close(other);
  // Once the other program lets go, the port works again.
  EXPECT_TRUE(NewSerialPort(1, pty.path())->Send("y").ok());
  EXPECT_EQ(pty.Read(1), "y");
}

// Whether a port can take a text now: what Send would meet on opening it,
// found without sending anything.
TEST(SerialPort, WhyAPortCannotOpenIsWhatSendWouldMeet) {
  testing::TempDir dir;
  Pty free_line, locked_line;
  const std::string plain = dir.File("plain-file");
  testing::WriteAll(plain, "unchanged");
  const int other = ::open(locked_line.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  struct Case {
    std::string device;
    std::string why;
  };
  for (const Case& c : {Case{free_line.path(), ""},
                        Case{dir.File("no-such-device"), "No such file or directory"},
                        Case{plain, "not a serial port (the path is not a terminal device)"},
                        Case{locked_line.path(), "port in use: another program holds its lock"}}) {
    SCOPED_TRACE(c.device);
    EXPECT_EQ(WhyPortCannotOpen(c.device), c.why);
  }
  ::close(other);
  EXPECT_EQ(WhyPortCannotOpen(locked_line.path()), "");  // it let go
  // Nothing went out, and the port is left as free as it was found.
  EXPECT_EQ(free_line.ReadFor(0.05), "");
  EXPECT_EQ(testing::ReadAll(plain), "unchanged");
  EXPECT_TRUE(NewSerialPort(1, free_line.path())->Send("y").ok());
  EXPECT_EQ(free_line.Read(1), "y");
}

TEST(SerialPort, StalledLineFailsWithinItsDeadline) {
  Pty pty;
  ASSERT_EQ(tcflow(pty.slave(), TCOOFF), 0);  // the line takes nothing
  const std::string text(100, 'x');
  const double start = testing::MonotonicNow();
  const Status s = NewSerialPort(1, pty.path())->Send(text);
  const double took = testing::MonotonicNow() - start;
  EXPECT_TRUE(Has(s, "line stalled: 0 of 100 bytes went out")) << s.message();
  // The deadline is 2 s plus the transmit time; the upper bound only guards
  // against a hang.
  EXPECT_GE(took, 2.0);
  EXPECT_LT(took, 30.0);
  ASSERT_EQ(tcflow(pty.slave(), TCOON), 0);
}

TEST(SerialPort, ReleasesThePortBetweenTexts) {
  Pty pty;
  auto port = NewSerialPort(1, pty.path());
  ASSERT_TRUE(port->Send("a").ok());
  // After Send the port is neither locked nor exclusive.
  int exclusive = -1;
  ASSERT_EQ(::ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  const int other = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
  ASSERT_TRUE(port->Send("b").ok());
  EXPECT_EQ(pty.Read(2), "ab");
}

}  // namespace
}  // namespace fiskal
