// fiskald: takes receipts over HTTP, keeps them in a durable journal and
// prints each exactly once through the same checked run as fiskal. The
// composition of its rooms, its stop and its exit statuses are decided
// here; what it does with its journal at start is in service/startup.h.
// Every failure leaves through Fail, once: Serve's after the signals are
// no longer watched, the others' at the end of RunFiskald.

#include "service/fiskald.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frames.h"
#include "service/api/api.h"
#include "service/api/waits.h"
#include "service/broker/broker.h"
#include "service/documents.h"
#include "service/http/http.h"
#include "service/intake/intake.h"
#include "service/journal/journal.h"
#include "service/options.h"
#include "service/os/private_file.h"
#include "service/os/system.h"
#include "service/os/windows_service.h"
#include "service/printers/printers.h"
#include "service/shutdown.h"
#include "service/startup.h"

namespace fiskal::service {
namespace {

// The exit statuses, decided here only.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

int Fail(const Status& failure) {
  Say(failure.message());
  return kExitFailed;
}

// Serves until a stop signal has drained it; *left: the queued receipts
// that wait in the journal for the next start. `shutdown` outlives the
// signals' watcher, which Serve starts and its caller stops.
Status Serve(const Options& options, const TestPoints& points, Shutdown& shutdown,
             std::size_t* left) {
  ReturnFreedMemory();
  AccessRules rules;
  rules.listen = options.listen;
  rules.allowed_origins = options.allowed_origins;
  rules.server_names = options.server_names;
  rules.tls = !options.tls_cert.empty();
  if (!options.token_file.empty()) {
    if (Status s = ReadToken(options.token_file, &rules.token); !s.ok()) return s;
  }
  const std::map<int, std::string> devices = ConfiguredPorts(options, std::getenv);

  // Nothing the service writes is for other users' eyes.
  KeepFilesPrivate();
  if (Status s = PrepareJournalFolder(options.journal); !s.ok()) return s;
  WatchSignals([&shutdown](int signal) {
    if (!shutdown.draining()) {
      NotifyStopping();
      Say("stopping: finishing the receipt being sent on each port (signal again to stop "
          "after the text being sent)");
    }
    shutdown.Request(signal);
  });
  // Every thread starts after WatchSignals, so the signals reach its
  // watcher only.
  Waits waits(http::Limits{}.connections);

  std::unique_ptr<Journal> journal;
  if (Status s = Journal::Open(options.journal, SystemWallClock(), &journal); !s.ok()) return s;
  // Answers through the broker are the receipt as the API shows it.
  std::atomic<Broker*> broker_now{nullptr};
  Recovered recovered;
  if (Status s = RecoverAtStart(
          *journal, options.keep_days, [](const StoredReceipt& r) { return Dump(ReceiptJson(r)); },
          [&broker_now] {
            if (Broker* b = broker_now.load()) b->OutboxChanged();
          },
          Say, &recovered);
      !s.ok()) {
    return s;
  }
  const std::vector<std::pair<std::int64_t, int>>& queued = recovered.queued;

  ServiceClock clock(shutdown);
  std::unique_ptr<PortAccess> ports = SystemPortAccess(clock, devices);
  PrinterOptions printer_options;
  printer_options.finished = [&waits, &broker_now](std::int64_t id) {
    waits.Finished(id);
    if (Broker* b = broker_now.load()) b->PrintersChanged();
  };
  printer_options.hold_seconds = points.hold_seconds.value_or(options.hold_minutes * 60.0);
  printer_options.holding_changed = [&broker_now] {
    if (Broker* b = broker_now.load()) b->PrintersChanged();
  };
  Printers printers(*journal, shutdown, clock, *ports, printer_options);
  printers.Open(0);
  for (const auto& [port, device] : devices) printers.Open(port);
  for (const auto& [id, port] : queued) printers.Enqueue(id, port);

  http::ServerOptions server_options;
  server_options.host = options.listen.host;
  server_options.port = options.listen.port;
  if (rules.tls) {
    server_options.tls = http::TlsFiles{options.tls_cert, options.tls_key,
                                        [](const std::string& key) {
                                          return CheckPrivateFile(key, "TLS key");
                                        }};
  }
  server_options.limits.body_bytes = kMaxReceiptBytes;
  std::string note;
  server_options.limits.connections =
      ConnectionsThatFit(server_options.limits.connections, &note);
  if (!note.empty()) Say(note);
  server_options.log = Say;
  Intake intake(*journal, printers, *ports, shutdown);
  Api api(*journal, intake, printers, shutdown, waits, rules);
  RefusalLog refusals(clock, Say);
  api.SetRefusalLog(&refusals);
  std::unique_ptr<Broker> broker;
  if (!options.broker_url.empty()) {
    BrokerOptions b;
    b.url = options.broker_url;
    b.shop = options.shop;
    b.ca_file = options.broker_ca;
    b.cert_file = options.broker_cert;
    b.key_file = options.broker_key;
    b.user = options.broker_user;
    b.session_days = options.broker_session_days;
    b.log = Say;
    b.stop_in_arrival = points.stop_in_arrival;
    Status s = options.broker_key.empty() ? Status::Ok()
                                          : CheckPrivateFile(options.broker_key, "broker key");
    if (s.ok() && !options.broker_password_file.empty()) {
      s = ReadSecretLine(options.broker_password_file, "broker password file", &b.password);
    }
    if (s.ok()) s = Broker::Start(std::move(b), *journal, intake, printers, &broker);
    if (!s.ok()) {
      printers.Stop();
      return s;
    }
    broker_now.store(broker.get());
    api.SetBroker(broker.get());
  }
  std::unique_ptr<http::Server> server;
  if (Status s = http::StartServer(server_options, api, &server); !s.ok()) {
    printers.Stop();
    return s;
  }
  api.rules().listen.port = server->port();
  const std::string where = api.rules().Origin();
  Say("listening on " + where + " (journal " + options.journal + "; " + DescribePorts(devices) +
      "; " + std::to_string(queued.size()) + " receipt(s) queued" +
      (broker ? "; receipts also from " + options.broker_url + " as shop " + options.shop
              : std::string()) +
      ")");
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
  waits.EndAll();   // every wait answers now
  printers.Stop();  // each port finishes its receipt (or its text, on a hard stop)
  // The answers of what ended meanwhile go out, then the broker hears
  // that fiskald is offline.
  if (broker) broker->Stop(shutdown.StopSignal() != 0 ? 0.5 : 3);
  waits.Stop();
  server->Stop();
  broker_now.store(nullptr);
  api.SetBroker(nullptr);
  broker.reset();
  housekeeping.join();
  *left = printers.Pending();
  return Status::Ok();
}

// Serves, then stops watching the signals (whether Serve started to or
// not) and says how it ended: the one way out of serving.
int ServeUntilStopped(const Options& options, const TestPoints& points) {
  Shutdown shutdown;
  std::size_t left = 0;
  const Status served = Serve(options, points, shutdown, &left);
  StopWatchingSignals();
  if (!served.ok()) return Fail(served);
  Say("stopped" + (left > 0 ? "; " + std::to_string(left) +
                                  " queued receipt(s) wait in the journal for the next start"
                            : std::string()));
  return kExitOk;
}

// What the command line asks beyond --help and --version; *exit_status is
// set when it returns ok.
Status Act(const Options& options, const TestPoints& points, int* exit_status) {
  *exit_status = kExitOk;
  std::string done;
  switch (options.service) {
    case ServiceAction::kInstall:
      if (Status s = InstallService(options.service_arguments, &done); !s.ok()) return s;
      // The journal's folder is made now, private, as the service will use it.
      if (Status s = PrepareJournalFolder(options.journal); !s.ok()) return s;
      Say(done);
      return Status::Ok();
    case ServiceAction::kUninstall:
      if (Status s = UninstallService(&done); !s.ok()) return s;
      Say(done);
      return Status::Ok();
    case ServiceAction::kRun:
      *exit_status = kExitFailed;
      return RunAsService(
          options.journal, options.log_limit,
          [&] { return ServeUntilStopped(options, points); }, exit_status);
    case ServiceAction::kNone:
      break;
  }
  *exit_status = ServeUntilStopped(options, points);
  return Status::Ok();
}

}  // namespace

int RunFiskald(int argc, char** argv, const TestPoints& points) {
  Options options;
  if (Status s = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options);
      !s.ok()) {
    Say(s.message() + "; see fiskald --help");
    return kExitFailed;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (options.version) {
    std::fputs(VersionLine("fiskald").c_str(), stdout);
    return kExitOk;
  }
  if (options.journal.empty()) options.journal = DefaultJournal();
  int exit_status = kExitFailed;
  if (Status s = Act(options, points, &exit_status); !s.ok()) return Fail(s);
  return exit_status;
}

}  // namespace fiskal::service
