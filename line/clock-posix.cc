// The monotonic clock on POSIX systems: an absolute deadline on
// CLOCK_MONOTONIC, slept towards with clock_nanosleep. A signal that
// interrupts the sleep resumes it, the deadline staying where it was,
// unless the run's stop flag is raised.

#include <time.h>

#include <cerrno>
#include <cmath>
#include <string>

#include "line/clock.h"
#include "line/stop_signal.h"

namespace fiskal {

namespace {

class PosixMonotonicClock : public Clock {
 public:
  double Now() override {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  }

  Status Sleep(double seconds, StopFlag& stop) override {
    timespec deadline{};
    if (::clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
      return Status::FromErrno("cannot read the monotonic clock", errno);
    }
    if (!(seconds > 0)) return Status::Ok();
    double whole = 0;
    const double fraction = std::modf(seconds, &whole);
    deadline.tv_sec += static_cast<time_t>(whole);
    // Round the fraction up so that the sleep is never short.
    deadline.tv_nsec += static_cast<long>(std::ceil(fraction * 1e9));
    if (deadline.tv_nsec >= 1'000'000'000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1'000'000'000L;
    }
    for (;;) {
      const int rc =
          ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
      if (rc == 0) return Status::Ok();
      if (rc != EINTR) return Status::FromErrno("cannot sleep", rc);
      if (const int signal = stop.StopSignal()) {
        return Status::Error(std::string("pause cut short by ") + StopSignalName(signal));
      }
    }
  }
};

}  // namespace

Clock& MonotonicClock() {
  static PosixMonotonicClock clock;
  return clock;
}

}  // namespace fiskal
