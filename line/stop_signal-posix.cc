#include <signal.h>

#include <cstdio>
#include <initializer_list>

#include "line/stop_signal.h"

namespace fiskal {

namespace {

volatile sig_atomic_t caught = 0;

void OnStopSignal(int signal) {
  if (caught == 0) caught = signal;
}

}  // namespace

void CatchStopSignals() {
  struct sigaction action{};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a pause that a signal interrupts returns, looks at the
  // stop flag, and ends the pause when the run is to stop.
  action.sa_flags = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

int CaughtStopSignal() { return caught; }

const char* StopSignalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: {
      static char name[32];
      std::snprintf(name, sizeof name, "signal %d", signal);
      return name;
    }
  }
}

}  // namespace fiskal
