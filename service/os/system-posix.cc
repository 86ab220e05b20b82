#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "service/os/system.h"

namespace fiskal::service {

namespace {

int signal_fd = -1;
int quit_fd = -1;
std::thread watcher;

}  // namespace

void KeepFilesPrivate() { ::umask(077); }

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

std::size_t ConnectionsThatFit(std::size_t wanted, std::string* note) {
  note->clear();
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // Refused under a system call filter: the limit stays as it is.
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  const std::size_t open = limit.rlim_cur == RLIM_INFINITY ? wanted + kReservedDescriptors
                                                           : static_cast<std::size_t>(limit.rlim_cur);
  const std::size_t fit = open > kReservedDescriptors ? open - kReservedDescriptors : 1;
  if (fit >= wanted) return wanted;
  *note = "only " + std::to_string(fit) + " connections at once fit in the limit of " +
          std::to_string(open) + " open files (" + std::to_string(kReservedDescriptors) +
          " kept for the journal and the ports); to serve more at once, raise the limit"
          " (LimitNOFILE=, ulimit -n)";
  return fit;
}

void ReturnFreedMemory() {
  // A fixed threshold (the system's default would rise after each large
  // buffer freed, and keep the next ones on the heap): a buffer of 256 KiB
  // or more (a large body) is mapped and unmapped on its own, never left
  // on the heap after a flood; smaller ones, of every request, are not.
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

std::string DefaultJournal() { return "fiskald.db"; }

Status PrepareJournalFolder(const std::string&) { return Status::Ok(); }

}  // namespace fiskal::service
