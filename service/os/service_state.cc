#include "service/os/service_state.h"

namespace fiskal::service {

void ServiceState::Starting() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_.status != ServiceStatus::kStartPending || stop_asked_) {
    if (current_.status != ServiceStatus::kStopped) Report(current_);
    return;
  }
  ServiceReport next;
  next.status = ServiceStatus::kStartPending;
  next.checkpoint = current_.checkpoint + 1;
  next.wait_hint_ms = kPendingHintMs;
  Report(next);
}

void ServiceState::Ready() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_.status != ServiceStatus::kStartPending) {
    // A stop came first: the state as it is.
    if (current_.status != ServiceStatus::kStopped) Report(current_);
    return;
  }
  ServiceReport next;
  next.status = ServiceStatus::kRunning;
  next.accepted = kAcceptStop | kAcceptShutdown;
  Report(next);
}

bool ServiceState::Control(std::uint32_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool stop = code == static_cast<std::uint32_t>(ServiceControl::kStop) ||
                    code == static_cast<std::uint32_t>(ServiceControl::kShutdown);
  if (!stop || stop_asked_ || current_.status == ServiceStatus::kStopped) {
    // Interrogate, or a control fiskald does not take: the state as it is.
    Report(current_);
    return false;
  }
  stop_asked_ = true;
  ServiceReport next;
  next.status = ServiceStatus::kStopPending;
  next.checkpoint = 1;
  next.wait_hint_ms = kPendingHintMs;
  Report(next);
  return true;
}

void ServiceState::Stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_.status == ServiceStatus::kStopped) return;
  ServiceReport next;
  next.status = ServiceStatus::kStopPending;
  next.checkpoint =
      current_.status == ServiceStatus::kStopPending ? current_.checkpoint + 1 : 1;
  next.wait_hint_ms = kPendingHintMs;
  Report(next);
}

void ServiceState::Stopped(int exit_status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_.status == ServiceStatus::kStopped) return;
  ServiceReport next;
  next.status = ServiceStatus::kStopped;
  if (exit_status != 0) {
    next.exit_code = kServiceSpecificError;
    next.service_code = static_cast<std::uint32_t>(exit_status);
  }
  Report(next);
}

ServiceReport ServiceState::Current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

void ServiceState::Report(ServiceReport next) {
  current_ = next;
  report_(current_);
}

std::string WindowsCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& arg : args) {
    if (!line.empty()) line += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
      line += arg;
      continue;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (char c : arg) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      // Backslashes before a quote are doubled and the quote escaped;
      // elsewhere they stand for themselves.
      line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
      backslashes = 0;
      line += c;
    }
    line.append(2 * backslashes, '\\');  // before the closing quote
    line += '"';
  }
  return line;
}

}  // namespace fiskal::service
