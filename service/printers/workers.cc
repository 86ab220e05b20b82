// The workers: one per port, each taking its queued receipts one at a
// time, first accepted first sent, holding them while the port cannot be
// opened (by the rules of hold_policy.h), and sending each through the same
// checked run as fiskal, its texts marked sent in the journal as they go.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <set>
#include <utility>

#include "base/time_text.h"
#include "line/transcript.h"
#include "receipt/run.h"
#include "service/os/system.h"
#include "service/printers/hold_policy.h"
#include "service/printers/printers.h"
#include "service/printers/worker.h"

namespace fiskal::service {

namespace {

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
      why = kHeldByAnotherRun;
    } else {
      // The lock itself cannot be had (its folder, say): the printer is
      // not the cause, and waiting would not mend it.
      std::vector<std::int64_t> ended;
      EndHeld(worker, {receipt.id},
              [&](const StoredReceipt&) { return locked.message() + "; nothing was sent"; },
              &ended);
      return Hold::kEnded;
    }
    const std::string reason = HoldReason(port, receipt.device, why);
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
    if (Status s = journal_.Overdue(port, HoldStartedBefore(now, options_), now, &over);
        !s.ok()) {
      Log(s.message());
    }
    if (!over.empty()) {
      std::vector<std::int64_t> ended;
      EndHeld(
          worker, over, [&](const StoredReceipt& r) { return OverdueMessage(r, now, reason); },
          &ended);
      if (std::find(ended.begin(), ended.end(), receipt.id) != ended.end()) return Hold::kEnded;
    }

    const double held = clock_.Now() - held_since;
    const double pause = HoldRetrySeconds(held, busy, options_);
    if (clock_.Sleep(pause, flag).ok()) continue;
    if (!worker.give_up) return Hold::kStays;  // draining: it waits in the journal
    // The operator gave up on them: every receipt the port holds ends.
    std::vector<std::int64_t> ids, ended;
    if (Status s = journal_.QueuedOn(port, &ids); !s.ok()) Log(s.message());
    const std::int64_t given_up_at = journal_.NowMs();
    EndHeld(
        worker, ids,
        [&](const StoredReceipt& r) { return GivenUpMessage(r, given_up_at, reason); }, &ended);
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
