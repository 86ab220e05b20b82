// The printers of fiskald: one worker per port, each sending its queued
// receipts one at a time, first accepted first sent, through the same
// checked run as fiskal. Before the first text of a receipt a worker takes
// the port's run lock, the lock fiskal takes, so that a fiskal run and
// fiskald never interleave on one device.
//
// A port that cannot be opened, or that another run holds, holds its
// receipts (the hold): nothing of them was sent, so they stay queued and
// wait, tried again every second for the first 10 s and then every 5 s,
// until the port takes them, in order; until each has waited the hold's
// length since its first failed try, or its own deadline passes (it ends
// not_sent); or until the operator gives up on them. The hold's rules are
// written in hold_policy.h only.
//
// The files: printers.cc (this class: queues, status, give-up, stop),
// workers.cc (a port's worker: its hold and its sending), hold_policy.h
// (the hold's rules), port_access.h (the ports, real or faked), worker.h
// (a worker's state, shared by the two .cc files).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "line/clock.h"
#include "line/run_lock.h"
#include "service/journal/journal.h"
#include "service/printers/port_access.h"
#include "service/shutdown.h"

namespace fiskal::service {

struct PrinterStatus {
  int port = 0;
  std::string device;  // empty for log-only
  std::size_t queued = 0;
  // The receipt being sent, and how far: text k of n.
  std::optional<std::int64_t> sending;
  std::size_t text = 0;
  std::size_t texts = 0;
  // The last receipt that ended here.
  std::optional<std::int64_t> last_id;
  std::string last_state;
  std::int64_t last_finished_ms = 0;
  // While the port holds its receipts: since when (the oldest's first
  // failed try; 0 when it holds none), why, and how many wait.
  std::int64_t waiting_since_ms = 0;
  std::string waiting_reason;
  std::size_t waiting = 0;
};

struct PrinterOptions {
  // How long a worker waits for a port another run holds before the
  // receipt ends not_sent, and how often it looks again.
  double lock_wait_seconds = 60;
  double lock_retry_seconds = 0.1;
  // How long a receipt is held for its port at most; 0: not at all (a
  // port that cannot be opened ends its receipt not_sent at once, and one
  // another run holds is waited for as above).
  double hold_seconds = 0;
  // Called with a receipt's id once it reached a final state.
  std::function<void(std::int64_t id)> finished;
  // Called when a port begins or ends holding its receipts.
  std::function<void()> holding_changed;
};

class Printers {
 public:
  Printers(Journal& journal, Shutdown& shutdown, Clock& clock, PortAccess& ports,
           PrinterOptions options = {});
  ~Printers();  // waits for every worker
  Printers(const Printers&) = delete;
  Printers& operator=(const Printers&) = delete;

  // Holds a place in the port's queue for a receipt about to be stored;
  // false (and nothing held) when the queue, places held included, has
  // `limit` receipts. Enqueue takes the place; Release gives it back when
  // the receipt was not stored.
  bool Reserve(int port, std::size_t limit);
  void Release(int port);

  // Queues a receipt the journal holds as queued. Called in commit order.
  void Enqueue(std::int64_t id, int port);
  // Shows the port in Snapshot() from now on, before any receipt for it.
  void Open(int port);

  // Receipts queued or being sent, on all ports.
  std::size_t Pending();

  std::vector<PrinterStatus> Snapshot();
  // Ends every receipt the port holds not_sent, given up by the operator;
  // false when it holds none. *count says how many ended.
  bool GiveUp(int port, std::size_t* count);
  // Ends the workers: each finishes the receipt it is sending (or stops
  // after the text being sent when the stop is hard) and takes no other.
  void Stop();

  // Seconds each finished receipt took to send, summed, and their count.
  void SendTimes(double* sum, std::uint64_t* count);

 private:
  struct Worker;
  Worker& WorkerFor(int port);  // under mu_
  void Run(Worker& worker);
  void Send(Worker& worker, std::int64_t id);
  enum class Hold { kReady, kEnded, kStays };
  // Waits until the receipt's port is locked for it and can be opened.
  Hold HoldForPort(Worker& worker, const StoredReceipt& receipt, std::unique_ptr<RunLock>* lock);
  // Ends the port's held receipts in `ids` (those still queued) with
  // `message`, off the worker's queue.
  void EndHeld(Worker& worker, const std::vector<std::int64_t>& ids,
               const std::function<std::string(const StoredReceipt&)>& message,
               std::vector<std::int64_t>* ended);
  // The port took the receipt: nothing of it is held now.
  void StopHolding(Worker& worker, const StoredReceipt& receipt);
  // Receipts that ended on the worker's port, the last of them shown.
  void Ended(Worker& worker, const std::vector<std::int64_t>& ids, State state);

  Journal& journal_;
  Shutdown& shutdown_;
  Clock& clock_;
  PortAccess& ports_;
  PrinterOptions options_;

  std::mutex mu_;
  std::map<int, std::unique_ptr<Worker>> workers_;
  bool stopping_ = false;
  double send_seconds_ = 0;
  std::uint64_t sends_ = 0;
};

}  // namespace fiskal::service
