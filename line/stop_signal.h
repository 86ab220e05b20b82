// Asking a run to stop: SIGINT, SIGTERM and SIGHUP (on Windows Ctrl+C,
// Ctrl+Break and the console closing) are caught instead of ending the
// program, so a text being sent is never cut in half. The run
// looks at the flag between texts and stops there; a pause is cut short.
#pragma once

namespace fiskal {

// Installs the handlers. Without them the signals end the program at once.
void CatchStopSignals();

// The number of the first stop signal caught, or 0.
int CaughtStopSignal();

// "SIGINT", "SIGTERM", "SIGHUP" or "signal <n>" (on Windows "Ctrl+C",
// "Ctrl+Break", "the console closing").
const char* StopSignalName(int signal);

#ifdef _WIN32
// An event (a HANDLE) set when a stop request comes, for waits to watch.
void* StopSignalEvent();
#endif

}  // namespace fiskal
