// The printers as the rest of fiskald sees them: the workers started per
// port, their queues (places reserved, receipts queued, pending), what
// Snapshot shows, the operator's give-up handed to a worker, and the stop.
// The workers themselves are workers.cc.
#include "service/printers/printers.h"

#include <utility>

#include "service/printers/worker.h"

namespace fiskal::service {

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

}  // namespace fiskal::service
