// Stop requests on Windows: Ctrl+C, Ctrl+Break and the console being
// closed (or the user logging off, the system shutting down) are caught by
// a console control handler. The handler runs on a thread of its own; it
// sets the flag and the stop event, which cuts a pause short.

#include <windows.h>

#include <csignal>
#include <cstdio>

#include "line/stop_signal.h"

namespace fiskal {

namespace {

constexpr int kCtrlBreak = 21;
volatile LONG caught = 0;
HANDLE stop_event = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  int signal = SIGTERM;
  if (type == CTRL_C_EVENT) signal = SIGINT;
  if (type == CTRL_BREAK_EVENT) signal = kCtrlBreak;
  InterlockedCompareExchange(&caught, signal, 0);
  if (stop_event != nullptr) SetEvent(stop_event);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // The process ends when this returns: give the run time to finish the
    // text it is sending and stop; it ends the process itself.
    Sleep(4500);
  }
  return TRUE;
}

}  // namespace

void CatchStopSignals() {
  if (stop_event == nullptr) stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

int CaughtStopSignal() { return static_cast<int>(caught); }

void* StopSignalEvent() { return stop_event; }

const char* StopSignalName(int signal) {
  switch (signal) {
    case SIGINT: return "Ctrl+C";
    case kCtrlBreak: return "Ctrl+Break";
    case SIGTERM: return "the console closing";
    default: {
      static char name[32];
      std::snprintf(name, sizeof name, "signal %d", signal);
      return name;
    }
  }
}

}  // namespace fiskal
