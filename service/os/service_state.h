// fiskald under the Windows service manager: what it reports, and when.
// The states and the controls it answers are decided here, apart from the
// system calls (windows_service-win32.cc), so that they are tested on
// every platform with a reporter that records. The numbers are Windows'
// own (SERVICE_RUNNING, SERVICE_CONTROL_STOP, ...); the Windows file
// checks that they agree.
//
// The order: start pending (no control taken) until fiskald listens, then
// running (Stop and Shutdown taken), then stop pending while the ports
// finish their receipts, each report counting one more step, then stopped
// with fiskald's exit status.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace fiskal::service {

enum class ServiceStatus : std::uint32_t {
  kStopped = 1,
  kStartPending = 2,
  kStopPending = 3,
  kRunning = 4,
};

// The controls the service manager sends that fiskald knows.
enum class ServiceControl : std::uint32_t {
  kStop = 1,
  kInterrogate = 4,
  kShutdown = 5,
};

// Bits of the controls a report says are taken.
inline constexpr std::uint32_t kAcceptStop = 0x1;
inline constexpr std::uint32_t kAcceptShutdown = 0x4;
// The exit code that says "look at the service's own code".
inline constexpr std::uint32_t kServiceSpecificError = 1066;

struct ServiceReport {
  ServiceStatus status = ServiceStatus::kStartPending;
  std::uint32_t accepted = 0;       // kAccept... bits
  std::uint32_t exit_code = 0;      // 0, or kServiceSpecificError
  std::uint32_t service_code = 0;   // fiskald's exit status, with kServiceSpecificError
  std::uint32_t checkpoint = 0;     // grows with each report of a pending state
  std::uint32_t wait_hint_ms = 0;   // how long until the next report, at most
};

// How long the service manager is told to wait for the next report while
// fiskald starts or drains; the Windows side reports at least twice as
// often.
inline constexpr std::uint32_t kPendingHintMs = 10000;

class ServiceState {
 public:
  using Reporter = std::function<void(const ServiceReport&)>;
  explicit ServiceState(Reporter report) : report_(std::move(report)) {}

  // Start pending, one step further with each call (the first report;
  // the Windows side calls it again while fiskald starts).
  void Starting();
  // fiskald listens: running, unless a stop came first.
  void Ready();
  // A control from the service manager. True when fiskald is to stop as on
  // SIGTERM (the first Stop or Shutdown; a later one only reports again).
  bool Control(std::uint32_t code);
  // fiskald is draining: stop pending, one step further with each call
  // (the Windows side calls it while the ports finish).
  void Stopping();
  // fiskald has ended with `exit_status` (0: stopped cleanly).
  void Stopped(int exit_status);

  ServiceReport Current() const;

 private:
  void Report(ServiceReport next);  // with mutex_ held

  Reporter report_;
  mutable std::mutex mutex_;
  ServiceReport current_;
  bool stop_asked_ = false;
};

// One Windows command line of `args`, quoted so that the C runtime's
// parsing (and CommandLineToArgvW) gives `args` back exactly: an argument
// with a space, a tab, a quote or nothing in it is quoted, a quote inside
// is escaped, and backslashes before a quote or the closing quote are
// doubled.
std::string WindowsCommandLine(const std::vector<std::string>& args);

}  // namespace fiskal::service
