// The monotonic clock on Windows: a deadline on the performance counter,
// waited for on a waitable timer (high resolution where the system has
// one) together with the stop event, which wakes the wait so that the
// run's stop flag is looked at. Never spins; never returns early.

#include <windows.h>

#include <cmath>
#include <string>

#include "line/clock.h"
#include "line/stop_signal.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace fiskal {

namespace {

LONGLONG Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

LONGLONG TicksPerSecond() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

class WindowsMonotonicClock : public Clock {
 public:
  WindowsMonotonicClock() {
    timer_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                    TIMER_ALL_ACCESS);
    if (timer_ == nullptr) timer_ = CreateWaitableTimerW(nullptr, TRUE, nullptr);
  }

  double Now() override {
    return static_cast<double>(Ticks()) / static_cast<double>(TicksPerSecond());
  }

  Status Sleep(double seconds, StopFlag& stop) override {
    if (!(seconds > 0)) return Status::Ok();
    const LONGLONG per_second = TicksPerSecond();
    const LONGLONG deadline =
        Ticks() + static_cast<LONGLONG>(std::ceil(seconds * static_cast<double>(per_second)));
    // The stop event is manual-reset: once it woke a wait whose flag stays
    // down (a wait that must run to its end), only the timer is watched.
    bool watch_stop = StopSignalEvent() != nullptr;
    for (;;) {
      const LONGLONG left = deadline - Ticks();
      if (left <= 0) return Status::Ok();
      // Due time in 100 ns units, negative for relative; rounded up.
      LARGE_INTEGER due;
      due.QuadPart = -((left * 10'000'000 + per_second - 1) / per_second);
      if (timer_ == nullptr || !SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
        return Status::FromWindowsError("cannot set the pause timer", GetLastError());
      }
      HANDLE waits[2] = {timer_, static_cast<HANDLE>(StopSignalEvent())};
      const DWORD woke = WaitForMultipleObjects(watch_stop ? 2 : 1, waits, FALSE, INFINITE);
      if (const int signal = stop.StopSignal()) {
        return Status::Error(std::string("pause cut short by ") + StopSignalName(signal));
      }
      if (woke == WAIT_OBJECT_0 + 1) {
        watch_stop = false;
        continue;
      }
      if (woke != WAIT_OBJECT_0) {
        return Status::FromWindowsError("cannot wait for the pause timer", GetLastError());
      }
    }
  }

 private:
  HANDLE timer_ = nullptr;
};

}  // namespace

Clock& MonotonicClock() {
  static WindowsMonotonicClock clock;
  return clock;
}

}  // namespace fiskal
