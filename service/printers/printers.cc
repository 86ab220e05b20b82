#include "service/printers/printers.h"

#include "base/time_text.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <utility>

#include "line/serial_port.h"
#include "line/transcript.h"
#include "receipt/run.h"
#include "service/os/system.h"

namespace fiskal::service {

namespace {

class SystemPorts : public PortAccess {
 public:
  SystemPorts(Clock& clock, std::map<int, std::string> devices)
      : clock_(clock), devices_(std::move(devices)) {}
  std::string Device(int port) override {
    const auto at = devices_.find(port);
    return at == devices_.end() ? std::string() : at->second;
  }
  Status Lock(int port, const std::string& device, std::unique_ptr<RunLock>* lock,
              bool* busy) override {
    return LockPortForRun(static_cast<std::uint8_t>(port), device, lock, busy);
  }
  std::unique_ptr<Port> Open(int port, const std::string& device) override {
    return NewSerialPort(static_cast<std::uint8_t>(port), device, clock_);
  }
  std::string WhyCannotOpen(int, const std::string& device) override {
    return WhyPortCannotOpen(device);
  }

 private:
  Clock& clock_;
  const std::map<int, std::string> devices_;
};

// Raised while the service drains: a wait for a busy port ends then, and
// the receipt stays queued for the next start.
class DrainFlag : public StopFlag {
 public:
  explicit DrainFlag(Shutdown& shutdown) : shutdown_(shutdown) {}
  int StopSignal() override { return shutdown_.draining() ? SIGTERM : 0; }

 private:
  Shutdown& shutdown_;
};

// Raised while a port holds its receipts: the service drains, or the
// operator gives up on them.
class HoldFlag : public StopFlag {
 public:
  HoldFlag(Shutdown& shutdown, const std::atomic<bool>& give_up)
      : shutdown_(shutdown), give_up_(give_up) {}
  int StopSignal() override { return shutdown_.draining() || give_up_.load() ? SIGTERM : 0; }

 private:
  Shutdown& shutdown_;
  const std::atomic<bool>& give_up_;
};

// A held port is tried again this often: every second for the first 10 s
// of a hold, then every 5 s.
constexpr double kFirstRetrySeconds = 1;
constexpr double kFirstRetriesFor = 10;
constexpr double kLaterRetrySeconds = 5;

// The port a worker has locked already, handed to the run.
class LockedPorts : public PortFactory {
 public:
  explicit LockedPorts(std::unique_ptr<Port> port) : port_(std::move(port)) {}
  Status NewPort(std::uint8_t, std::unique_ptr<Port>* port) override {
    if (port_ == nullptr) return Status::Error("the port was handed out already");
    *port = std::move(port_);
    return Status::Ok();
  }

 private:
  std::unique_ptr<Port> port_;
};

// The transcript of a receipt is its texts in the journal: a record marks
// the next text as sent, durably, before the run goes on.
class JournalTranscript : public Transcript {
 public:
  JournalTranscript(Journal& journal, std::int64_t id, std::function<void(std::size_t)> recorded)
      : journal_(journal), id_(id), recorded_(std::move(recorded)) {}
  Status Record(std::string_view) override {
    if (Status s = journal_.MarkTextSent(id_, next_); !s.ok()) return s;
    recorded_(++next_);
    return Status::Ok();
  }
  Status Close() override { return Status::Ok(); }

 private:
  Journal& journal_;
  std::int64_t id_;
  std::function<void(std::size_t)> recorded_;
  std::size_t next_ = 0;
};

void Log(const std::string& line) { Say(line); }

}  // namespace

std::unique_ptr<PortAccess> SystemPortAccess(Clock& clock, std::map<int, std::string> devices) {
  return std::make_unique<SystemPorts>(clock, std::move(devices));
}

struct Printers::Worker {
  PrinterStatus status;  // its queue length is the queue's, when asked for
  std::deque<std::int64_t> queue;
  std::optional<std::int64_t> in_hand;  // taken from the queue: held or being sent
  std::size_t reserved = 0;  // places held for receipts being stored
  std::condition_variable wake;  // a receipt came, or stopping began
  // The operator gave up on the held receipts: raised by GiveUp, answered
  // by the worker with how many ended.
  std::atomic<bool> give_up{false};
  std::optional<std::size_t> given_up;
  std::condition_variable gave_up;
  std::thread thread;
};

Printers::Printers(Journal& journal, Shutdown& shutdown, Clock& clock, PortAccess& ports,
                   PrinterOptions options)
    : journal_(journal), shutdown_(shutdown), clock_(clock), ports_(ports), options_(std::move(options)) {}

Printers::~Printers() { Stop(); }

Printers::Worker& Printers::WorkerFor(int port) {
  std::unique_ptr<Worker>& worker = workers_[port];
  if (worker == nullptr) {
    worker = std::make_unique<Worker>();
    worker->status.port = port;
    if (port != 0) worker->status.device = ports_.Device(port);
    // Once stopping, a receipt stored meanwhile waits in the journal for
    // the next start: no worker starts for it.
    Worker* w = worker.get();
    if (!stopping_) w->thread = std::thread([this, w] { Run(*w); });
  }
  return *worker;
}

bool Printers::Reserve(int port, std::size_t limit) {
  std::lock_guard<std::mutex> lock(mu_);
  Worker& w = WorkerFor(port);
  if (w.queue.size() + w.reserved + (w.in_hand ? 1 : 0) >= limit) return false;
  ++w.reserved;
  return true;
}

void Printers::Release(int port) {
  std::lock_guard<std::mutex> lock(mu_);
  Worker& w = WorkerFor(port);
  if (w.reserved > 0) --w.reserved;
}

void Printers::Enqueue(std::int64_t id, int port) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    Worker& w = WorkerFor(port);
    if (w.reserved > 0) --w.reserved;
    w.queue.push_back(id);
    // Only this port's worker has news.
    w.wake.notify_one();
  }
}

void Printers::Open(int port) {
  std::lock_guard<std::mutex> lock(mu_);
  WorkerFor(port);
}

std::size_t Printers::Pending() {
  std::lock_guard<std::mutex> lock(mu_);
  std::size_t n = 0;
  for (const auto& [port, w] : workers_) n += w->queue.size() + (w->in_hand ? 1 : 0);
  return n;
}

std::vector<PrinterStatus> Printers::Snapshot() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<PrinterStatus> all;
  for (const auto& [port, w] : workers_) {
    all.push_back(w->status);
    // A receipt held for its port is queued still, and so are those
    // behind it: all of them wait.
    all.back().queued = w->queue.size() + (w->in_hand && !w->status.sending ? 1 : 0);
    all.back().waiting = w->status.waiting_since_ms != 0 ? all.back().queued : 0;
  }
  return all;
}

bool Printers::GiveUp(int port, std::size_t* count) {
  *count = 0;
  std::unique_lock<std::mutex> lock(mu_);
  const auto at = workers_.find(port);
  if (at == workers_.end() || stopping_) return false;
  Worker& w = *at->second;
  if (w.status.waiting_since_ms == 0) return false;
  w.given_up.reset();
  w.give_up = true;
  {
    // The hold's pause checks the flag under this lock: the wake-up
    // cannot come between its check and its wait.
    std::lock_guard<std::mutex> pause(shutdown_.mutex());
  }
  shutdown_.wakeup().notify_all();
  w.gave_up.wait(lock, [&] { return w.given_up.has_value() || stopping_; });
  w.give_up = false;
  *count = w.given_up.value_or(0);
  return *count > 0;
}

void Printers::Stop() {
  std::vector<std::thread*> threads;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    for (auto& [port, w] : workers_) {
      if (w->thread.joinable()) threads.push_back(&w->thread);
      w->wake.notify_all();
      w->gave_up.notify_all();
    }
  }
  for (std::thread* t : threads) t->join();
}

void Printers::SendTimes(double* sum, std::uint64_t* count) {
  std::lock_guard<std::mutex> lock(mu_);
  *sum = send_seconds_;
  *count = sends_;
}

void Printers::Run(Worker& worker) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    worker.wake.wait(lock, [&] { return stopping_ || !worker.queue.empty(); });
    // Draining: the receipt in hand was finished; the queued ones stay in
    // the journal for the next start.
    if (stopping_ || shutdown_.draining()) return;
    const std::int64_t id = worker.queue.front();
    worker.queue.pop_front();
    worker.in_hand = id;
    worker.status.text = 0;
    worker.status.texts = 0;
    lock.unlock();
    Send(worker, id);
    lock.lock();
    worker.in_hand.reset();
    worker.status.sending.reset();
    if (worker.queue.empty() && worker.status.waiting_since_ms != 0) {
      // Nothing is left to hold (the last held receipt ended).
      worker.status.waiting_since_ms = 0;
      worker.status.waiting_reason.clear();
      if (options_.holding_changed) options_.holding_changed();
    }
    if (worker.give_up && !worker.given_up) {
      // The give-up came as the hold ended: nothing waits now.
      worker.given_up = 0;
      worker.gave_up.notify_all();
    }
  }
}

void Printers::StopHolding(Worker& worker, const StoredReceipt& receipt) {
  bool was_holding = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    was_holding = worker.status.waiting_since_ms != 0;
    worker.status.waiting_since_ms = 0;
    worker.status.waiting_reason.clear();
  }
  // The journal may say they wait from before a restart, too.
  if (was_holding || !receipt.waiting_reason.empty()) {
    if (Status s = journal_.EndWaiting(receipt.port); !s.ok()) Log(s.message());
  }
  if (was_holding && options_.holding_changed) options_.holding_changed();
}

void Printers::Ended(Worker& worker, const std::vector<std::int64_t>& ids, State state) {
  if (ids.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    worker.status.last_id = ids.back();
    worker.status.last_state = std::string(StateName(state));
    worker.status.last_finished_ms = SystemWallClock()();
  }
  if (options_.finished) {
    for (std::int64_t id : ids) options_.finished(id);
  }
}

void Printers::EndHeld(Worker& worker, const std::vector<std::int64_t>& ids,
                       const std::function<std::string(const StoredReceipt&)>& message,
                       std::vector<std::int64_t>* ended) {
  ended->clear();
  if (Status s = journal_.FinishQueued(ids, State::kNotSent, message, ended); !s.ok()) {
    Log(s.message());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    const std::set<std::int64_t> gone(ended->begin(), ended->end());
    std::erase_if(worker.queue, [&](std::int64_t id) { return gone.count(id) != 0; });
  }
  Ended(worker, *ended, State::kNotSent);
}

Printers::Hold Printers::HoldForPort(Worker& worker, const StoredReceipt& receipt,
                                     std::unique_ptr<RunLock>* run_lock) {
  const int port = receipt.port;
  const std::string where = "port " + std::to_string(port) + " (" + receipt.device + ")";
  const std::int64_t hold_ms = static_cast<std::int64_t>(options_.hold_seconds * 1000);
  HoldFlag flag(shutdown_, worker.give_up);
  double held_since = -1;  // this worker's hold, on clock_
  for (;;) {
    bool busy = false;
    std::string why;
    const Status locked = ports_.Lock(port, receipt.device, run_lock, &busy);
    if (locked.ok()) {
      why = ports_.WhyCannotOpen(port, receipt.device);
      if (why.empty()) {
        StopHolding(worker, receipt);
        return Hold::kReady;
      }
      run_lock->reset();
    } else if (busy) {
      why = "held by another run (fiskal, or another fiskald)";
    } else {
      // The lock itself cannot be had (its folder, say): the printer is
      // not the cause, and waiting would not mend it.
      std::vector<std::int64_t> ended;
      EndHeld(worker, {receipt.id},
              [&](const StoredReceipt&) { return locked.message() + "; nothing was sent"; },
              &ended);
      return Hold::kEnded;
    }
    std::string reason = where;
    reason += ": ";
    reason += why;
    if (held_since < 0) held_since = clock_.Now();
    std::int64_t since = 0;
    if (Status s = journal_.MarkWaiting(port, reason, &since); !s.ok()) Log(s.message());
    bool began = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      began = worker.status.waiting_since_ms == 0;
      worker.status.waiting_since_ms = since;
      worker.status.waiting_reason = reason;
    }
    if (began && options_.holding_changed) options_.holding_changed();

    // Receipts that waited the whole hold, or whose own deadline passed.
    const std::int64_t now = journal_.NowMs();
    std::vector<std::int64_t> over;
    if (Status s = journal_.Overdue(port, now - hold_ms, now, &over); !s.ok()) Log(s.message());
    if (!over.empty()) {
      std::vector<std::int64_t> ended;
      EndHeld(worker, over, [&](const StoredReceipt& r) {
        if (r.deadline_ms > 0 && r.deadline_ms <= now) {
          return "its deadline (" + Rfc3339(r.deadline_ms) + ") passed while it waited for " +
                 reason + "; nothing was sent";
        }
        return "waited " + HowLong(now - r.waiting_since_ms) + " for " + reason + " (since " +
               TimeOfDay(r.waiting_since_ms) + "), the longest it is held; nothing was sent";
      }, &ended);
      if (std::find(ended.begin(), ended.end(), receipt.id) != ended.end()) return Hold::kEnded;
    }

    const double held = clock_.Now() - held_since;
    const double pause = held < kFirstRetriesFor
                             ? (busy ? options_.lock_retry_seconds : kFirstRetrySeconds)
                             : kLaterRetrySeconds;
    if (clock_.Sleep(pause, flag).ok()) continue;
    if (!worker.give_up) return Hold::kStays;  // draining: it waits in the journal
    // The operator gave up on them: every receipt the port holds ends.
    std::vector<std::int64_t> ids, ended;
    if (Status s = journal_.QueuedOn(port, &ids); !s.ok()) Log(s.message());
    const std::int64_t given_up_at = journal_.NowMs();
    EndHeld(worker, ids, [&](const StoredReceipt& r) {
      // One accepted since the last try has not been marked yet: it waited
      // since it came.
      const std::int64_t since = r.waiting_since_ms != 0 ? r.waiting_since_ms : r.accepted_ms;
      return "given up by the operator after it waited " + HowLong(given_up_at - since) +
             " for " + reason + " (since " + TimeOfDay(since) + "); nothing was sent";
    }, &ended);
    StopHolding(worker, receipt);
    {
      std::lock_guard<std::mutex> lock(mu_);
      worker.given_up = ended.size();
      worker.gave_up.notify_all();
    }
    return Hold::kEnded;
  }
}

void Printers::Send(Worker& worker, std::int64_t id) {
  std::optional<StoredReceipt> stored;
  if (Status s = journal_.Get(id, &stored); !s.ok() || !stored || stored->state != State::kQueued) {
    if (!s.ok()) Log("receipt " + std::to_string(id) + ": " + s.message());
    return;
  }
  const double started = clock_.Now();
  auto finish = [&](State state, const std::string& message) {
    if (Status s = journal_.Finish(id, state, message); !s.ok()) {
      Log("receipt " + std::to_string(id) + ": " + s.message());
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      send_seconds_ += clock_.Now() - started;
      ++sends_;
    }
    Ended(worker, {id}, state);
  };

  Receipt receipt;
  receipt.nPort = static_cast<std::uint8_t>(stored->port);
  for (const JournalText& t : stored->texts) {
    receipt.texts.push_back({t.bytes, t.label, t.pause_after});
  }

  // A receipt with a deadline (its own, or its broker message's expiry:
  // the earliest) is never sent after it, by the journal's clock.
  auto expired = [&] {
    return stored->deadline_ms > 0 && journal_.NowMs() >= stored->deadline_ms;
  };
  auto finish_expired = [&] {
    finish(State::kNotSent, "its deadline (" + Rfc3339(stored->deadline_ms) +
                                ") passed before it could be sent; nothing was sent");
  };
  if (expired()) return finish_expired();

  // Only configured ports are opened: a receipt queued while its port was
  // configured, and found after a restart without it, is not sent.
  if (stored->port != 0 && ports_.Device(stored->port).empty()) {
    return finish(State::kNotSent, "port " + std::to_string(stored->port) + " (" +
                                       stored->device +
                                       ") is no longer configured (FISKAL_COM" +
                                       std::to_string(stored->port) +
                                       " or --port); nothing was sent");
  }

  // The port's run lock, held for the whole receipt. A port that cannot
  // be opened, or that another run holds, holds the receipt.
  std::unique_ptr<RunLock> run_lock;
  if (stored->port != 0 && options_.hold_seconds > 0) {
    switch (HoldForPort(worker, *stored, &run_lock)) {
      case Hold::kReady:
        break;
      case Hold::kEnded:
      case Hold::kStays:
        return;
    }
  } else if (stored->port != 0) {
    // Without the hold: a fiskal run holding it is waited for, up to the
    // limit, the receipt shown as being sent, no text yet.
    {
      std::lock_guard<std::mutex> lock(mu_);
      worker.status.sending = id;
    }
    DrainFlag drain(shutdown_);
    for (;;) {
      bool busy = false;
      const Status s = ports_.Lock(stored->port, stored->device, &run_lock, &busy);
      if (s.ok()) break;
      if (!busy) return finish(State::kNotSent, s.message() + "; nothing was sent");
      const double waited = clock_.Now() - started;
      if (waited >= options_.lock_wait_seconds) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.0f", options_.lock_wait_seconds);
        return finish(State::kNotSent, s.message() + "; waited " + seconds +
                                           " s for it to end; nothing was sent");
      }
      if (!clock_.Sleep(options_.lock_retry_seconds, drain).ok()) return;  // stays queued
    }
  }

  if (expired()) return finish_expired();
  if (Status s = journal_.MarkSending(id); !s.ok()) {
    Log("receipt " + std::to_string(id) + ": " + s.message());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    worker.status.sending = id;
    worker.status.texts = receipt.texts.size();
  }

  LockedPorts ports(stored->port != 0 ? ports_.Open(stored->port, stored->device) : nullptr);
  JournalTranscript transcript(journal_, id, [&](std::size_t sent) {
    std::lock_guard<std::mutex> lock(mu_);
    worker.status.text = sent;
  });
  const Sent sent = SendReceipt(ports, clock_, shutdown_, receipt, transcript);
  run_lock.reset();

  if (sent.outcome.status == ExitStatus::kOk) return finish(State::kPrinted, "");
  if (sent.texts_out == 0 && shutdown_.StopSignal() != 0) {
    // Stopped before its first text: nothing happened, so it is sent at
    // the next start.
    if (Status s = journal_.Requeue(id); !s.ok()) {
      Log("receipt " + std::to_string(id) + ": " + s.message());
    }
    return;
  }
  finish(sent.texts_out == 0 ? State::kNotSent : State::kCut, sent.outcome.message);
}

}  // namespace fiskal::service
