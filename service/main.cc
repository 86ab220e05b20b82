// fiskald: takes receipts over HTTP, keeps them in a durable journal and
// prints each exactly once through the same checked run as fiskal.

#include <httplib.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fiskal/version.h"
#include "service/api.h"
#include "service/journal.h"
#include "service/options.h"
#include "service/printers.h"
#include "service/shutdown.h"
#include "service/system.h"

namespace fiskal::service {
namespace {

// The program's name prefix and exit statuses, decided here only.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

int Fail(const std::string& message) {
  std::fprintf(stderr, "fiskald: %s\n", message.c_str());
  return kExitFailed;
}

void Say(const std::string& message) {
  std::fprintf(stderr, "fiskald: %s\n", message.c_str());
  std::fflush(stderr);
}

// Request threads: each open connection holds one while it is kept alive,
// so enough for the keep-alive clients of a busy shop (and its browsers,
// which keep several each) and the waits (?wait=S) the API allows at once.
// An idle thread costs no CPU and little memory.
constexpr std::size_t kRequestThreads = 128;

int Serve(const Options& options) {
  AccessRules rules;
  rules.listen = options.listen;
  rules.allowed_origins = options.allowed_origins;
  if (!options.token_file.empty()) {
    if (Status s = ReadToken(options.token_file, &rules.token); !s.ok()) return Fail(s.message());
  }

  // Nothing the service writes is for other users' eyes.
  ::umask(077);
  Shutdown shutdown;
  WatchSignals([&](int signal) {
    if (!shutdown.draining()) {
      NotifyStopping();
      Say("stopping: finishing the receipt being sent on each port (signal again to stop "
          "after the text being sent)");
    }
    shutdown.Request(signal);
  });

  std::unique_ptr<Journal> journal;
  if (Status s = Journal::Open(options.journal, SystemWallClock(), &journal); !s.ok()) {
    StopWatchingSignals();
    return Fail(s.message());
  }
  int in_doubt = 0, purged = 0;
  if (Status s = journal->MarkInterruptedInDoubt(&in_doubt); !s.ok()) {
    StopWatchingSignals();
    return Fail(s.message());
  }
  if (in_doubt > 0) {
    Say(std::to_string(in_doubt) + " receipt(s) were being sent when fiskald stopped; they are " +
        "in_doubt and are not sent again: resolve them once the printer has been looked at");
  }
  if (Status s = journal->Purge(options.keep_days, &purged); !s.ok()) {
    StopWatchingSignals();
    return Fail(s.message());
  }
  std::vector<std::pair<std::int64_t, int>> queued;
  if (Status s = journal->Queued(&queued); !s.ok()) {
    StopWatchingSignals();
    return Fail(s.message());
  }

  ServiceClock clock(shutdown);
  std::unique_ptr<PortAccess> ports = SystemPortAccess(clock);
  Printers printers(*journal, shutdown, clock, *ports);
  for (const auto& [id, port] : queued) printers.Enqueue(id, port);

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kRequestThreads); };
  server.set_read_timeout(10, 0);
  server.set_write_timeout(10, 0);
  // A quiet connection gives its thread back after 3 s.
  server.set_keep_alive_timeout(3);
  server.set_keep_alive_max_count(1000);
  server.set_tcp_nodelay(true);
  // SO_REUSEADDR only: with SO_REUSEPORT, which the library sets by
  // default, a second fiskald could bind the same port and take half of
  // its requests.
  int listening = -1;
  server.set_socket_options([&listening](int socket) {
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listening = socket;
  });
  Api api(*journal, printers, *ports, shutdown, rules);
  api.Install(server);

  int port = options.listen.port;
  if (port == 0) {
    port = server.bind_to_any_port(options.listen.host);
  } else if (!server.bind_to_port(options.listen.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    StopWatchingSignals();
    return Fail("cannot listen on " + options.listen.Authority() +
                " (is another fiskald running there, or the port taken?)");
  }
  // The library listens with a backlog of 5, too short for a burst of
  // clients (connections beyond it are dropped); listen() again sets the
  // system's largest.
  if (listening >= 0) ::listen(listening, SOMAXCONN);
  api.rules().listen.port = port;
  std::thread http([&] { server.listen_after_bind(); });

  const std::string where = api.rules().listen.Origin();
  Say("listening on " + where + " (journal " + options.journal + ", " +
      std::to_string(queued.size()) + " receipt(s) queued)");
  NotifyReady("listening on " + where);

  // Finished receipts and their keys are forgotten after --keep-days; the
  // journal is looked over once an hour.
  std::thread housekeeping([&] {
    std::unique_lock<std::mutex> lock(shutdown.mutex());
    while (!shutdown.wakeup().wait_for(lock, std::chrono::hours(1),
                                       [&] { return shutdown.draining(); })) {
      lock.unlock();
      int removed = 0;
      if (Status s = journal->Purge(options.keep_days, &removed); !s.ok()) Say(s.message());
      lock.lock();
    }
  });

  shutdown.WaitForDrain();
  printers.Stop();  // each port finishes its receipt (or its text, on a hard stop)
  server.stop();
  http.join();
  housekeeping.join();
  StopWatchingSignals();
  const std::size_t left = printers.Pending();
  Say("stopped" + (left > 0 ? "; " + std::to_string(left) +
                                  " queued receipt(s) wait in the journal for the next start"
                            : std::string()));
  return kExitOk;
}

}  // namespace
}  // namespace fiskal::service

int main(int argc, char** argv) {
  using namespace fiskal::service;
  Options options;
  if (fiskal::Status s = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options);
      !s.ok()) {
    std::fprintf(stderr, "fiskald: %s\n%s", s.message().c_str(), kUsage);
    return kExitFailed;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (options.version) {
    std::printf("fiskald ver.:%s\n", std::string(fiskal::kVersion).c_str());
    return kExitOk;
  }
  return Serve(options);
}
