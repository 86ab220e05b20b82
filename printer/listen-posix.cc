// The listener: opens a pseudo-terminal pair, sets the line to 9600 8N1
// raw, shows the device a sender should open, and decodes what arrives.
// It keeps the device end open itself, so a sender that opens and closes
// the port for every text never leaves the line hung up.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "printer/decode.h"
#include "printer/listen.h"
#include "printer/render.h"
#include "protocol/frame_reader.h"

namespace fiskal {

namespace {

double Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void Say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int Fail(const std::string& what, int err) {
  std::fprintf(stderr, "fiskal-printer: %s: %s\n", what.c_str(), std::strerror(err));
  return kPrinterUnreadable;
}

// When each byte arrived: the time of the read that brought it.
class ArrivalTimes {
 public:
  void Add(std::size_t offset, double time) { chunks_.push_back({offset, time}); }
  double At(std::size_t offset) const {
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), offset,
                               [](std::size_t o, const Chunk& c) { return o < c.offset; });
    return it == chunks_.begin() ? 0 : std::prev(it)->time;
  }

 private:
  struct Chunk {
    std::size_t offset;
    double time;
  };
  std::vector<Chunk> chunks_;
};

// One receipt as it arrives.
struct Receipt {
  std::vector<RawText> texts;
  std::vector<std::string> pace_problems;
  double start = -1;           // arrival of its first byte
  double paused_since = -1;    // end of the last begin or item frame
};

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%8.3f s", s);
  return text;
}

class Listener {
 public:
  explicit Listener(const ListenOptions& options) : options_(options) {}
  ~Listener() { Cleanup(); }

  int Run() {
    // Stop signals are taken before the link appears: whoever waits for
    // the link may signal at once.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    signals_ = ::signalfd(-1, &signals, SFD_CLOEXEC);
    if (signals_ < 0) return Fail("cannot watch for signals", errno);

    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      return Fail("cannot open a pseudo-terminal", errno);
    }
    device_ = name;
    termios t{};
    if (::tcgetattr(slave_, &t) == 0) {
      ::cfmakeraw(&t);
      t.c_cflag |= CLOCAL | CREAD;
      ::cfsetispeed(&t, B9600);
      ::cfsetospeed(&t, B9600);
      ::tcsetattr(slave_, TCSANOW, &t);
    }
    if (!options_.link.empty()) {
      struct stat st{};
      if (::lstat(options_.link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
          std::fprintf(stderr, "fiskal-printer: %s exists and is not a link; not replacing it\n",
                       options_.link.c_str());
          return kPrinterUnreadable;
        }
        ::unlink(options_.link.c_str());
      }
      if (::symlink(device_.c_str(), options_.link.c_str()) != 0) {
        return Fail(options_.link + ": cannot make the link", errno);
      }
      linked_ = true;
    }
    if (!options_.capture.empty()) {
      capture_ = ::open(options_.capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (capture_ < 0) return Fail(options_.capture + ": cannot create", errno);
    }

    Say("listening on " + device_ +
        (linked_ ? " (linked from " + options_.link + ")" : std::string()) +
        ", 9600 8N1 raw");

    int status = kPrinterOk;
    for (;;) {
      pollfd fds[2] = {{master_, POLLIN, 0}, {signals_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        status = Fail("cannot wait for the line", errno);
        break;
      }
      if (fds[1].revents & POLLIN) {
        signalfd_siginfo info{};
        (void)!::read(signals_, &info, sizeof info);
        Say(std::string("stopped by ") + (info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM"));
        if (options_.once) status = kPrinterProblems;  // no end frame came
        break;
      }
      if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        char buffer[4096];
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
          status = Fail("the line went away", n < 0 ? errno : EIO);
          break;
        }
        const double now = Now();
        if (capture_ >= 0) (void)!::write(capture_, buffer, static_cast<std::size_t>(n));
        times_.Add(received_, now);
        received_ += static_cast<std::size_t>(n);
        bool done = false;
        for (const RawText& text : splitter_.Feed(std::string_view(buffer, n))) {
          if (Arrived(text, &status)) done = true;
        }
        if (done && options_.once) {
          AwaitSenderClose();
          break;
        }
      }
    }
    return status;
  }

 private:
  // Handles a complete text; true when it ended a receipt.
  bool Arrived(const RawText& raw, int* status) {
    const double first = times_.At(raw.offset);
    const double last = times_.At(raw.offset + raw.bytes.size() - 1);
    if (receipt_.start < 0) receipt_.start = first;
    const DecodedText text = DecodeText(raw);
    const std::size_t number = receipt_.texts.size() + 1;
    std::string line = "[" + Seconds(first - receipt_.start) + "] " +
                       DescribeText(text);
    if (receipt_.paused_since >= 0) {
      const double gap = first - receipt_.paused_since;
      if (gap < kFramePause - kPaceMargin) {
        char what[160];
        std::snprintf(what, sizeof what,
                      "text %zu: came %.3f s after the frame before it; the "
                      "printer needs %.1f s",
                      number, gap, kFramePause);
        receipt_.pace_problems.push_back(what);
        line += "   ! too soon";
      }
    }
    Say(line);
    for (const std::string& p : text.problems) Say("             ! " + p);
    receipt_.texts.push_back(raw);
    receipt_.paused_since =
        text.kind == TextKind::kBegin || text.kind == TextKind::kItem ? last : -1;
    if (text.kind != TextKind::kEnd) return false;

    ReceiptReport report = CheckReceipt(receipt_.texts);
    for (const std::string& p : receipt_.pace_problems) report.problems.push_back(p);
    if (report.ok()) {
      Say("--- receipt whole and consistent, correctly paced");
    } else {
      Say("--- receipt with " + std::to_string(report.problems.size()) + " problem" +
          (report.problems.size() == 1 ? "" : "s") + ":");
      for (const std::string& p : report.problems) Say("  " + p);
      *status = kPrinterProblems;
    }
    receipt_ = Receipt();
    return true;
  }

  // After the end frame the sender still waits for its last bytes to
  // leave and then closes the port; the line must be there until it has.
  // With the listener's own end closed, the device reports a hang-up once
  // no sender holds it open any more.
  void AwaitSenderClose() {
    ::close(slave_);
    slave_ = -1;
    pollfd fds[2] = {{master_, 0, 0}, {signals_, POLLIN, 0}};
    while (::poll(fds, 2, kSenderCloseMs) < 0 && errno == EINTR) {
    }
  }

  void Cleanup() {
    if (linked_) ::unlink(options_.link.c_str());
    linked_ = false;
    if (capture_ >= 0) ::close(capture_);
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    if (signals_ >= 0) ::close(signals_);
    capture_ = slave_ = master_ = signals_ = -1;
  }

  const ListenOptions& options_;
  int master_ = -1;
  int slave_ = -1;
  int capture_ = -1;
  int signals_ = -1;
  bool linked_ = false;
  std::string device_;
  TextSplitter splitter_;
  ArrivalTimes times_;
  std::size_t received_ = 0;
  Receipt receipt_;
};

}  // namespace

int RunListen(const ListenOptions& options) {
  Listener listener(options);
  return listener.Run();
}

}  // namespace fiskal
