// The listener: opens a pseudo-terminal pair, sets the line to 9600 8N1
// raw, shows the device a sender should open, and decodes what arrives.
// It keeps the device end open itself, so a sender that opens and closes
// the port for every text never leaves the line hung up.
//
// Timing. A read is timed when it returns, which on a busy machine can be
// long after its bytes came; a frame read late would make the pause after
// it look short. So the listener also looks at the line every kLookEveryMs
// when nothing comes: a poll that waits that long and sees nothing shows
// that every byte read later was written after it (a poll also pushes on
// bytes the system still holds for the line). The pause after a frame is
// measured from the last such look before the frame's last byte to the
// read that brought the next text: a late read can make it look longer,
// never shorter.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "printer/decode.h"
#include "printer/listen.h"
#include "printer/render.h"
#include "protocol/frame_decoder.h"
#include "protocol/pacing.h"
#include "protocol/receipt_check.h"
#include "protocol/text_splitter.h"

namespace fiskal {

namespace {

int Fail(const std::string& what, int err) {
  std::fprintf(stderr, "fiskal-printer: %s: %s\n", what.c_str(), std::strerror(err));
  return kPrinterUnreadable;
}

// One receipt as it arrives.
struct Receipt {
  std::vector<RawText> texts;
  std::vector<TimedText> times;  // one per text
};

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%8.3f s", s);
  return text;
}

class Listener {
 public:
  Listener(const ListenOptions& options, Clock& clock) : options_(options), clock_(clock) {}
  ~Listener() { Cleanup(); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

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

    // Nothing can have been written to the line before it exists.
    arrivals_.Quiet(clock_.Now());
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

    Note("listening on " + device_ +
         (linked_ ? " (linked from " + options_.link + ")" : std::string()) +
         ", 9600 8N1 raw");

    int status = kPrinterOk;
    for (;;) {
      const double looked = clock_.Now();
      pollfd fds[2] = {{master_, POLLIN, 0}, {signals_, POLLIN, 0}};
      const int ready = ::poll(fds, 2, kLookEveryMs);
      if (ready < 0) {
        if (errno == EINTR) continue;
        status = Fail("cannot wait for the line", errno);
        break;
      }
      if (ready == 0) {
        // It waited at least kLookEveryMs from `looked` and nothing came.
        arrivals_.Quiet(looked + kLookEveryMs / 1000.0);
        continue;
      }
      if (fds[1].revents & POLLIN) {
        Note(std::string("stopped by ") + StopSignal());
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
        arrivals_.Read(static_cast<std::size_t>(n), clock_.Now());
        if (capture_ >= 0) (void)!::write(capture_, buffer, static_cast<std::size_t>(n));
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
  // A line for a person; with --json it goes to stderr, stdout being the
  // scripts'.
  void Note(const std::string& line) const { Say(line, options_.json ? stderr : stdout); }
  // A line about the receipt, for a person; nothing with --json.
  void Tell(const std::string& line) const {
    if (!options_.json) Say(line, stdout);
  }
  static void Say(const std::string& line, std::FILE* to) {
    std::fputs(line.c_str(), to);
    std::fputc('\n', to);
    std::fflush(to);
  }

  const char* StopSignal() const {
    signalfd_siginfo info{};
    (void)!::read(signals_, &info, sizeof info);
    return info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
  }

  // Handles a complete text; true when it ended a receipt.
  bool Arrived(const RawText& raw, int* status) {
    const DecodedText text = DecodeText(raw);
    receipt_.texts.push_back(raw);
    receipt_.times.push_back(arrivals_.Time(raw, text.kind));
    const double start = receipt_.times.front().first;
    std::string line = "[";
    line += Seconds(receipt_.times.back().first - start);
    line += "] ";
    line += DescribeText(text);
    const std::vector<Pause> pauses = Pauses(receipt_.times, kPaceMargin);
    if (!pauses.empty() && pauses.back().after + 1 == receipt_.texts.size() &&
        pauses.back().too_soon) {
      line += "   ! too soon";
    }
    Tell(line);
    for (const std::string& p : text.problems) Tell("             ! " + p);
    if (text.kind != TextKind::kEnd) return false;

    ReceiptReport report = CheckReceipt(receipt_.texts);
    for (const Pause& p : pauses) {
      if (p.too_soon) report.problems.push_back(PauseProblem(p));
    }
    if (options_.json) {
      const std::string json =
          RenderJson(report, device_, "line", LineTiming{receipt_.times, pauses});
      std::fwrite(json.data(), 1, json.size(), stdout);
      std::fflush(stdout);
    } else if (report.ok()) {
      Tell("--- receipt whole and consistent, correctly paced");
    } else {
      Tell("--- receipt with " + std::to_string(report.problems.size()) + " problem" +
           (report.problems.size() == 1 ? "" : "s") + ":");
      for (const std::string& p : report.problems) Tell("  " + p);
    }
    if (!report.ok()) *status = kPrinterProblems;
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
  Clock& clock_;
  int master_ = -1;
  int slave_ = -1;
  int capture_ = -1;
  int signals_ = -1;
  bool linked_ = false;
  std::string device_;
  TextSplitter splitter_;
  ArrivalLog arrivals_;
  Receipt receipt_;
};

}  // namespace

int RunListen(const ListenOptions& options, Clock& clock) {
  Listener listener(options, clock);
  return listener.Run();
}

}  // namespace fiskal
