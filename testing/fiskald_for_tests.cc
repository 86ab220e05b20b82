// fiskald built for the tests (never installed or packaged): the shipped
// program's run, with the test points set from the environment:
//   FISKALD_TEST_HOLD_SECONDS     a receipt waits that many seconds for its
//                                 port, not --hold-minutes;
//   FISKALD_TEST_STOP_IN_ARRIVAL  "before" or "after": it stops itself
//                                 (SIGSTOP) at that point of an arriving
//                                 message's commit, to be killed there.

#include <csignal>
#include <cstdlib>
#include <string>

#include "service/fiskald.h"
#include "service/os/system.h"

int main(int argc, char** argv) {
  using namespace fiskal::service;
  TestPoints points;
  if (const char* seconds = std::getenv("FISKALD_TEST_HOLD_SECONDS")) {
    points.hold_seconds = std::atof(seconds);
  }
  if (const char* at = std::getenv("FISKALD_TEST_STOP_IN_ARRIVAL")) {
    points.stop_in_arrival = [at = std::string(at)](const char* where) {
      if (at != where) return;
      Say("stopped " + std::string(where) + " the commit of a message, for a test");
      std::raise(SIGSTOP);
    };
  }
  return RunFiskald(argc, argv, points);
}
