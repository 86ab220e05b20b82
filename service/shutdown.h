// How fiskald stops, and the clock its pauses run on.
//
// The first SIGTERM or SIGINT drains: no new receipt is accepted, the
// receipt being sent on each port is finished, queued ones stay in the
// journal. A second one stops hard: each port stops after the text it is
// sending, as a fiskal run stopped by a signal does.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "line/clock.h"

namespace fiskal::service {

class Shutdown : public StopFlag {
 public:
  // The hard stop's signal, or 0: what the sending run watches.
  int StopSignal() override { return hard_.load(); }

  bool draining() const { return draining_.load(); }
  // The first call drains, a second stops hard. Safe from any thread.
  void Request(int signal);
  // Waits until draining begins.
  void WaitForDrain();

  // The lock and condition every wait of the service sleeps on, so that a
  // stop wakes it.
  std::mutex& mutex() { return mu_; }
  std::condition_variable& wakeup() { return wakeup_; }

 private:
  std::atomic<bool> draining_{false};
  std::atomic<int> hard_{0};
  std::mutex mu_;
  std::condition_variable wakeup_;
};

// The monotonic clock as the service's threads use it: a pause waits on the
// shutdown's condition until its deadline, and ends early when the stop
// flag it watches is raised. Never spins.
class ServiceClock : public Clock {
 public:
  explicit ServiceClock(Shutdown& shutdown) : shutdown_(shutdown) {}
  double Now() override;
  Status Sleep(double seconds, StopFlag& stop) override;

 private:
  Shutdown& shutdown_;
};

}  // namespace fiskal::service
