// What fiskald asks of the operating system beyond files and sockets: the
// stop signals, telling the service manager it is ready, the descriptors it
// may open, and how memory given back is returned to the system.
#pragma once

#include <cstddef>
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

// Descriptors kept for everything but connections: the journal, the ports
// and their locks, the signals. A connection flood never takes them.
inline constexpr std::size_t kReservedDescriptors = 256;

// Raises the limit of open descriptors to the most the system allows and
// returns how many connections fit beside the reserved ones, `wanted` at
// most. *note says why fewer fit, when they do.
std::size_t ConnectionsThatFit(std::size_t wanted, std::string* note);

// Memory freed after a flood of large requests goes back to the system
// instead of staying with the process.
void ReturnFreedMemory();

}  // namespace fiskal::service
