// fiskald: takes receipts over HTTP, keeps them in a durable journal and
// prints each exactly once through the same checked run as fiskal. Its
// start (saying the receipts left sending, then marking them in_doubt), its
// stop, its messages' prefix and its exit statuses are decided here.

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
#include "service/broker/broker.h"
#include "service/intake/intake.h"
#include "service/http/http.h"
#include "service/journal/journal.h"
#include "service/options.h"
#include "service/printers/printers.h"
#include "service/documents.h"
#include "service/shutdown.h"
#include "service/os/system.h"
#include "service/api/waits.h"
#include "service/os/windows_service.h"

namespace fiskal::service {
namespace {

// The program's name prefix and exit statuses, decided here only.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

int Fail(const std::string& message) {
  WriteMessage("fiskald: " + message);
  return kExitFailed;
}

void Say(const std::string& message) { WriteMessage("fiskald: " + message); }

int Serve(const Options& options) {
  ReturnFreedMemory();
  AccessRules rules;
  rules.listen = options.listen;
  rules.allowed_origins = options.allowed_origins;
  rules.server_names = options.server_names;
  rules.tls = !options.tls_cert.empty();
  if (!options.token_file.empty()) {
    if (Status s = ReadToken(options.token_file, &rules.token); !s.ok()) return Fail(s.message());
  }
  const std::map<int, std::string> devices = ConfiguredPorts(options, std::getenv);

  // Nothing the service writes is for other users' eyes.
  KeepFilesPrivate();
  if (Status s = PrepareJournalFolder(options.journal); !s.ok()) return Fail(s.message());
  Shutdown shutdown;
  WatchSignals([&](int signal) {
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
  if (Status s = Journal::Open(options.journal, SystemWallClock(), &journal); !s.ok()) {
    StopWatchingSignals();
    return Fail(s.message());
  }
  // Answers through the broker are the receipt as the API shows it; they
  // are stored even while no broker is configured, for when one is again.
  // Set before the first change of a receipt's state, the marking in_doubt
  // below included: a change made before it would be answered to no one.
  std::atomic<Broker*> broker_now{nullptr};
  journal->SetOutbox([](const StoredReceipt& r) { return Dump(ReceiptJson(r)); },
                     [&broker_now] {
                       if (Broker* b = broker_now.load()) b->OutboxChanged();
                     });

  // The receipts fiskald stopped while sending are counted and said before
  // they are marked in_doubt: killed between the two, the next start finds
  // them still sending and says it again, where the other way round the
  // line would be lost with them marked.
  std::map<State, std::int64_t> states;
  if (Status s = journal->CountByState(&states); !s.ok()) {
    StopWatchingSignals();
    return Fail(s.message());
  }
  if (const std::int64_t sending = states[State::kSending]; sending > 0) {
    Say(std::to_string(sending) + " receipt(s) were being sent when fiskald stopped; they are " +
        "in_doubt and are not sent again: resolve them once the printer has been looked at");
  }
  int in_doubt = 0, purged = 0;
  if (Status s = journal->MarkInterruptedInDoubt(&in_doubt); !s.ok()) {
    StopWatchingSignals();
    return Fail(s.message());
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
  std::unique_ptr<PortAccess> ports = SystemPortAccess(clock, devices);
  PrinterOptions printer_options;
  printer_options.finished = [&waits, &broker_now](std::int64_t id) {
    waits.Finished(id);
    if (Broker* b = broker_now.load()) b->PrintersChanged();
  };
  printer_options.hold_seconds = options.hold_minutes * 60.0;
  // Tests hold receipts for seconds, not minutes.
  if (const char* seconds = std::getenv("FISKALD_TEST_HOLD_SECONDS")) {
    printer_options.hold_seconds = std::atof(seconds);
  }
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
  if (rules.tls) server_options.tls = http::TlsFiles{options.tls_cert, options.tls_key};
  server_options.limits.body_bytes = kMaxReceiptBytes;
  std::string note;
  server_options.limits.connections =
      ConnectionsThatFit(server_options.limits.connections, &note);
  if (!note.empty()) Say(note);
  server_options.log = Say;
  Intake intake(*journal, printers, *ports, shutdown);
  Api api(*journal, intake, printers, shutdown, waits, rules);
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
    Status s = options.broker_password_file.empty()
                   ? Status::Ok()
                   : ReadSecretLine(options.broker_password_file, "broker password file",
                                    &b.password);
    if (s.ok()) s = Broker::Start(std::move(b), *journal, intake, printers, &broker);
    if (!s.ok()) {
      printers.Stop();
      StopWatchingSignals();
      return Fail(s.message());
    }
    broker_now.store(broker.get());
    api.SetBroker(broker.get());
  }
  std::unique_ptr<http::Server> server;
  if (Status s = http::StartServer(server_options, api, &server); !s.ok()) {
    printers.Stop();
    StopWatchingSignals();
    return Fail(s.message());
  }
  api.rules().listen.port = server->port();
  const std::string where = api.rules().Origin();
  Say("listening on " + where + " (journal " + options.journal + ", " +
      std::to_string(queued.size()) + " receipt(s) queued" +
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
    std::fputs(fiskal::VersionLine("fiskald").c_str(), stdout);
    return kExitOk;
  }
  if (options.journal.empty()) options.journal = DefaultJournal();
  std::string done;
  switch (options.service) {
    case ServiceAction::kInstall:
      if (fiskal::Status s = InstallService(options.service_arguments, &done); !s.ok()) {
        return Fail(s.message());
      }
      // The journal's folder is made now, private, as the service will use it.
      if (fiskal::Status s = PrepareJournalFolder(options.journal); !s.ok()) {
        return Fail(s.message());
      }
      Say(done);
      return kExitOk;
    case ServiceAction::kUninstall:
      if (fiskal::Status s = UninstallService(&done); !s.ok()) return Fail(s.message());
      Say(done);
      return kExitOk;
    case ServiceAction::kRun: {
      int status = kExitFailed;
      if (fiskal::Status s =
              RunAsService(options.journal, [&] { return Serve(options); }, &status);
          !s.ok()) {
        return Fail(s.message());
      }
      return status;
    }
    case ServiceAction::kNone:
      break;
  }
  return Serve(options);
}
