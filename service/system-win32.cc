// What fiskald asks of Windows: the console's control events stand for
// the stop signals (the system calls the handler on a thread of its own,
// which hands the event on as SIGINT or SIGTERM); no service manager to
// notify (a console program);
// no descriptor limit below the connections' limit; the heap as it is.

#include <windows.h>

#include <csignal>
#include <mutex>

#include "service/system.h"

namespace fiskal::service {

namespace {

std::mutex watching;
std::function<void(int)> handler;

BOOL WINAPI OnControl(DWORD event) {
  const int signal = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
  std::function<void(int)> call;
  {
    std::lock_guard<std::mutex> lock(watching);
    call = handler;
  }
  if (!call) return FALSE;  // the system's default: the process ends
  call(signal);
  return TRUE;
}

}  // namespace

void KeepFilesPrivate() {}

void WatchSignals(std::function<void(int)> on_signal) {
  {
    std::lock_guard<std::mutex> lock(watching);
    handler = std::move(on_signal);
  }
  SetConsoleCtrlHandler(OnControl, TRUE);
}

void StopWatchingSignals() {
  SetConsoleCtrlHandler(OnControl, FALSE);
  std::lock_guard<std::mutex> lock(watching);
  handler = nullptr;
}

void NotifyReady(const std::string&) {}
void NotifyStopping() {}

std::size_t ConnectionsThatFit(std::size_t wanted, std::string* note) {
  note->clear();
  return wanted;
}

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_s(&local, &t);
  return local;
}

void ReturnFreedMemory() {}

}  // namespace fiskal::service
