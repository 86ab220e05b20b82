#include "line/clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <limits>

namespace fiskal {
namespace {

double Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Only the lower bound is checked: a sleep may run long on a busy machine,
// but it must never be short.
TEST(MonotonicClock, NeverReturnsEarly) {
  for (double seconds : {0.0, 0.001, 0.02, 0.05}) {
    const double start = Now();
    ASSERT_TRUE(MonotonicClock().Sleep(seconds).ok());
    EXPECT_GE(Now() - start, seconds);
  }
}

TEST(MonotonicClock, NegativeOrNaNReturnsAtOnce) {
  EXPECT_TRUE(MonotonicClock().Sleep(-1).ok());
  EXPECT_TRUE(MonotonicClock().Sleep(std::numeric_limits<double>::quiet_NaN()).ok());
}

}  // namespace
}  // namespace fiskal
