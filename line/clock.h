// The clock behind the pause between frames.
#pragma once

#include "base/status.h"

namespace fiskal {

class Clock {
 public:
  virtual ~Clock() = default;
  // Returns no earlier than the given number of seconds after the call,
  // unless the run is asked to stop: then it fails at once.
  virtual Status Sleep(double seconds) = 0;
};

// The system's monotonic clock: sleeps until a deadline, never spins and is
// unaffected by changes of the time of day.
Clock& MonotonicClock();

}  // namespace fiskal
