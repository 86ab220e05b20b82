// What fiskald asks of the operating system beyond files and sockets: the
// stop signals, and telling the service manager it is ready.
#pragma once

#include <functional>
#include <string>

namespace fiskal::service {

// Blocks SIGINT, SIGTERM and SIGHUP in this thread and every thread it
// starts from now on (call it before starting any), ignores SIGPIPE, and
// hands each stop signal to `on_signal` on a thread of its own, until
// StopWatchingSignals().
void WatchSignals(std::function<void(int signal)> on_signal);
void StopWatchingSignals();

// READY=1 with a status line, when started by a service manager that
// asked for it (NOTIFY_SOCKET); STOPPING=1 when draining. No-ops otherwise.
void NotifyReady(const std::string& status);
void NotifyStopping();

}  // namespace fiskal::service
