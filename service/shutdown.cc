#include "service/shutdown.h"

#include <chrono>
#include <cmath>
#include <string>

#include "line/stop_signal.h"

namespace fiskal::service {

void Shutdown::Request(int signal) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (draining_.load()) {
      if (hard_.load() == 0) hard_.store(signal);
    } else {
      draining_.store(true);
    }
  }
  wakeup_.notify_all();
}

void Shutdown::WaitForDrain() {
  std::unique_lock<std::mutex> lock(mu_);
  wakeup_.wait(lock, [&] { return draining_.load(); });
}

double ServiceClock::Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Status ServiceClock::Sleep(double seconds, StopFlag& stop) {
  if (!(seconds > 0)) return Status::Ok();
  // Rounded up, so that the pause is never short.
  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::nanoseconds(static_cast<std::int64_t>(std::ceil(seconds * 1e9)));
  std::unique_lock<std::mutex> lock(shutdown_.mutex());
  for (;;) {
    if (const int signal = stop.StopSignal()) {
      return Status::Error(std::string("pause cut short by ") + StopSignalName(signal));
    }
    if (shutdown_.wakeup().wait_until(lock, deadline) == std::cv_status::timeout) {
      return Status::Ok();
    }
  }
}

}  // namespace fiskal::service
