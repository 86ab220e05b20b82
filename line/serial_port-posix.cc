// The serial port on POSIX systems (termios): the line settings and the
// sending of one text are made here (serial_port-win32.cc on Windows).
//
// For each text: open the device without waiting for carrier and without
// making it our controlling terminal; take it exclusively (flock against
// other programs that lock, TIOCEXCL against any later open); set raw
// 9600 8N1 with the receiver on, modem lines ignored, no flow control of
// either kind, no output processing and HUPCL off so DTR stays up between
// texts; read the settings back to see they took; write every byte within
// a deadline; wait until the bytes have left; release and close.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "line/serial_port.h"

namespace fiskal {

std::string SystemPortDevice(std::uint8_t nPort) {
  return "/dev/ttyS" + std::to_string(nPort - 1);
}

namespace {

std::string OpenHint(int err, std::uint8_t nPort) {
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "no such device; check the port digit in fiskal.txt or set " +
             PortVariable(nPort) + " to the printer's device";
    case EACCES:
    case EPERM:
      return "permission denied; add the user to the group dialout";
    case EBUSY:
      return "port in use by another program";
    default:
      return {};
  }
}

// The settings a text is sent with, applied on top of what the device had.
void MakeRaw9600(termios* t) {
  t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP |
                                       INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                       IXANY | INPCK);
  t->c_iflag |= IGNPAR;
  t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB |
                                       CRTSCTS | HUPCL);
  t->c_cflag |= CS8 | CLOCAL | CREAD;
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
  ::cfsetispeed(t, B9600);
  ::cfsetospeed(t, B9600);
}

// What must hold after the settings were applied.
bool IsRaw9600(const termios& t) {
  return ::cfgetospeed(&t) == B9600 && (t.c_cflag & CSIZE) == CS8 &&
         (t.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL)) == 0 &&
         (t.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD) &&
         (t.c_oflag & OPOST) == 0 && (t.c_iflag & (IXON | IXOFF)) == 0 &&
         (t.c_lflag & (ICANON | ECHO | ISIG)) == 0;
}

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && a.c_cc[VMIN] == b.c_cc[VMIN] &&
         a.c_cc[VTIME] == b.c_cc[VTIME] && ::cfgetispeed(&a) == ::cfgetispeed(&b) &&
         ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

// Takes an open device for a text: its lock (flock, against other programs
// that lock), and its line settings, the test that it is a terminal.
Status Acquire(int fd, termios* current) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) {
      return Status::Error("port in use: another program holds its lock");
    }
    return Status::FromErrno("cannot lock", err);
  }
  if (::tcgetattr(fd, current) != 0) {
    if (errno == ENOTTY || errno == EINVAL) {
      return Status::Error("not a serial port (the path is not a terminal device)");
    }
    return Status::FromErrno("cannot read line settings", errno);
  }
  return Status::Ok();
}

class PosixSerialPort : public Port {
 public:
  PosixSerialPort(std::uint8_t nPort, std::string device, Clock& clock)
      : clock_(clock),
        nPort_(nPort),
        device_(std::move(device)),
        where_("port " + std::to_string(nPort) + " (" + device_ + ")") {}

  Status Send(std::string_view text) override {
    const int fd = ::open(device_.c_str(), kOpenFlags);
    if (fd < 0) {
      const int err = errno;
      return Status::FromErrno("cannot open", err, OpenHint(err, nPort_))
          .Context(where_);
    }
    bool exclusive = false;
    Status status = SendOpen(fd, text, &exclusive);
    if (exclusive) ::ioctl(fd, TIOCNXCL);
    // Closing releases the flock too.
    if (::close(fd) != 0 && errno != EINTR && status.ok()) {
      status = Status::FromErrno("cannot close", errno);
    }
    return status.Context(where_);
  }

 private:
  Status SendOpen(int fd, std::string_view text, bool* exclusive) {
    termios current{};
    if (Status s = Acquire(fd, &current); !s.ok()) return s;
    if (::ioctl(fd, TIOCEXCL) != 0) {
      return Status::FromErrno("cannot take exclusive use", errno);
    }
    *exclusive = true;

    // The line keeps its settings between texts; they are set when they
    // differ (the first text of a run, or someone changed them) and always
    // checked.
    termios wanted = current;
    MakeRaw9600(&wanted);
    termios applied = current;
    if (!SameSettings(current, wanted)) {
      if (::tcsetattr(fd, TCSANOW, &wanted) != 0) {
        return Status::FromErrno(std::string("cannot set line settings ") + kLineSettings,
                                 errno);
      }
      if (::tcgetattr(fd, &applied) != 0) {
        return Status::FromErrno("cannot read line settings back", errno);
      }
    }
    if (!IsRaw9600(applied)) {
      return Status::Error(std::string("the device did not take the line "
                                       "settings ") +
                           kLineSettings + " raw without flow control");
    }

    const double limit = kLineTimeoutSeconds + TransmitSeconds(text.size());
    const double deadline = clock_.Now() + limit;
    if (Status s = WriteAll(fd, text, deadline, limit); !s.ok()) return s;
    return Drain(fd, deadline, limit);
  }

  Status WriteAll(int fd, std::string_view text, double deadline, double limit) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        return Status::FromErrno("cannot write", errno);
      }
      // The line's buffer is full: wait until it takes more, or the deadline.
      const double left = deadline - clock_.Now();
      if (left <= 0) {
        return LineStalled(std::to_string(done) + " of " +
                           std::to_string(text.size()) + " bytes went out",
                       limit);
      }
      pollfd p{fd, POLLOUT, 0};
      const int timeout_ms = static_cast<int>(std::ceil(left * 1000));
      const int rc = ::poll(&p, 1, timeout_ms);
      if (rc < 0 && errno != EINTR) return Status::FromErrno("cannot wait for the line", errno);
      if (rc > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
          (p.revents & POLLOUT) == 0) {
        return Status::Error("the line went away (hang-up or error on the device)");
      }
    }
    return Status::Ok();
  }

  // Waits until the bytes have left the system's output queue, within the
  // deadline, then lets tcdrain wait out the last bytes in the hardware.
  Status Drain(int fd, double deadline, double limit) {
    for (;;) {
      int queued = 0;
      if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
      const double left = deadline - clock_.Now();
      if (left <= 0) {
        return LineStalled(std::to_string(queued) + " bytes still queued", limit);
      }
      // A text is never cut short: this wait ignores stop requests.
      const double wait = std::min(left, TransmitSeconds(static_cast<std::size_t>(queued)) + 0.001);
      if (Status s = clock_.Sleep(wait, NeverStop()); !s.ok()) return s;
    }
    while (::tcdrain(fd) != 0) {
      if (errno != EINTR) return Status::FromErrno("cannot drain the output", errno);
    }
    return Status::Ok();
  }

  Clock& clock_;
  std::uint8_t nPort_;
  std::string device_;
  std::string where_;
};

}  // namespace

std::string WhyPortCannotOpen(const std::string& device) {
  const int fd = ::open(device.c_str(), kOpenFlags);
  if (fd < 0) return ErrnoText(errno);
  termios current{};
  const Status acquired = Acquire(fd, &current);
  ::close(fd);  // the flock goes with it
  return acquired.message();
}

std::unique_ptr<Port> NewSerialPort(std::uint8_t nPort, std::string device, Clock& clock) {
  return std::make_unique<PosixSerialPort>(nPort, std::move(device), clock);
}

}  // namespace fiskal
