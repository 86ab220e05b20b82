// Seconds on the monotonic clock, for tests that wait for something or
// check that a sleep was not short.
#pragma once

#include <chrono>

namespace fiskal::testing {

inline double MonotonicNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace fiskal::testing
