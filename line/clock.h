// Time for the printer line: the pause between frames and the deadlines of
// a text on the line.
#pragma once

#include "base/status.h"

namespace fiskal {

// Whether the run has been asked to stop.
class StopFlag {
 public:
  virtual ~StopFlag() = default;
  // The stop signal caught (SIGINT, SIGTERM, SIGHUP), or 0.
  virtual int StopSignal() = 0;
};

// A flag that is never raised, for waits that must run to their end.
StopFlag& NeverStop();

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds on a monotonic scale whose zero means nothing; only differences
  // count.
  virtual double Now() = 0;
  // Returns no earlier than the given number of seconds after the call,
  // unless `stop` is raised: then it fails at once.
  virtual Status Sleep(double seconds, StopFlag& stop) = 0;
};

// The system's monotonic clock: sleeps until a deadline, never spins and is
// unaffected by changes of the time of day.
Clock& MonotonicClock();

}  // namespace fiskal
