// fiskald as a function: what its program does, for the shipped program
// (service/main.cc, with no test points) and the build made for tests
// (testing/fiskald_for_tests.cc, never installed or packaged), which may
// set the points below.
#pragma once

#include <functional>
#include <optional>

namespace fiskal::service {

// Where a build made for tests may change what fiskald does; the shipped
// fiskald sets none.
struct TestPoints {
  // How long a receipt waits for its port, in seconds, instead of
  // --hold-minutes.
  std::optional<double> hold_seconds;
  // Called at each point of an arriving message ("before" or "after" its
  // commit); see BrokerOptions::stop_in_arrival.
  std::function<void(const char* where)> stop_in_arrival;
};

// Runs fiskald with its command line; returns its exit status.
int RunFiskald(int argc, char** argv, const TestPoints& points);

}  // namespace fiskal::service
