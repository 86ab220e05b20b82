// What fiskald asks of the operating system beyond files and sockets: the
// stop signals, telling the service manager it is ready, the descriptors it
// may open, how memory given back is returned to the system, that what it
// writes is its own, and where its messages go (their prefix, "fiskald: ",
// is written here only: Say). One file per platform: system-posix.cc (signals,
// systemd), system-win32.cc (the console's control events and the
// service manager, service/os/windows_service.h); where messages go is the
// same on every platform (log_file.cc, with the log file's rotation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "base/status.h"

namespace fiskal::service {

// Files and folders the service makes are for its own user only (on
// POSIX systems the umask; on Windows they take their folder's access
// list, which the journal's default folder keeps private).
void KeepFilesPrivate();

// Blocks SIGINT, SIGTERM and SIGHUP in this thread and every thread it
// starts from now on (call it before starting any), ignores SIGPIPE, and
// hands each stop signal to `on_signal` on a thread of its own, until
// StopWatchingSignals(). On Windows the console's control events stand for
// them: Ctrl+C for SIGINT, Ctrl+Break, closing the console, logging off
// and shutting down for SIGTERM.
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

// Writes one line (the line end is added) where fiskald's messages go,
// whole: standard error, or the log file given to SendMessagesTo. Every
// message of the service goes through Say, which writes it here.
void WriteMessage(const std::string& line);

// fiskald's messages' prefix, written here only.
inline constexpr char kMessagePrefix[] = "fiskald: ";

// Writes one of fiskald's messages: "fiskald: " and `message`, one line.
inline void Say(const std::string& message) { WriteMessage(kMessagePrefix + message); }

// From now on messages go to the end of the file at `path` (made when
// missing), rotated past `limit_bytes` (service/os/log_file.h): what a
// Windows service, which has no standard error, writes to.
Status SendMessagesTo(const std::string& path, std::uint64_t limit_bytes);

// The journal when --journal is not given: fiskald.db in the current
// folder on POSIX systems; on Windows %ProgramData%\fiskal\fiskald.db, a
// folder for SYSTEM and the Administrators only, where a service's journal
// belongs.
std::string DefaultJournal();

// Makes the folder of the default journal, readable and writable by SYSTEM
// and the Administrators only, when `journal` is the default and its
// folder is missing (Windows; nothing to do on POSIX systems).
Status PrepareJournalFolder(const std::string& journal);

#ifdef _WIN32
// Hands a stop to WatchSignals' watcher as a console event does (the
// service manager's Stop and Shutdown come this way).
void DeliverStopSignal(int signal);
#endif

// Memory freed after a flood of large requests goes back to the system
// instead of staying with the process.
void ReturnFreedMemory();

}  // namespace fiskal::service
