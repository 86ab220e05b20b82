#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

#include "service/system.h"

namespace fiskal::service {

namespace {

int signal_fd = -1;
int quit_fd = -1;
std::thread watcher;

}  // namespace

void WatchSignals(std::function<void(int)> on_signal) {
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal_fd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  quit_fd = ::eventfd(0, EFD_CLOEXEC);
  watcher = std::thread([on_signal = std::move(on_signal)] {
    for (;;) {
      pollfd fds[2] = {{signal_fd, POLLIN, 0}, {quit_fd, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;  // EINTR
      if (fds[1].revents != 0) return;
      signalfd_siginfo info{};
      if (::read(signal_fd, &info, sizeof info) == sizeof info) {
        on_signal(static_cast<int>(info.ssi_signo));
      }
    }
  });
}

void StopWatchingSignals() {
  if (!watcher.joinable()) return;
  const std::uint64_t one = 1;
  (void)!::write(quit_fd, &one, sizeof one);
  watcher.join();
  ::close(signal_fd);
  ::close(quit_fd);
}

void NotifyReady(const std::string& status) {
  sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void NotifyStopping() { sd_notify(0, "STOPPING=1\nSTATUS=finishing the receipts being sent"); }

}  // namespace fiskal::service
