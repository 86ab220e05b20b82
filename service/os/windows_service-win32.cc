// fiskald under the Windows service manager: the system calls; what is
// reported when is ServiceState's (service/os/service_state.h). The
// service's recovery (what the service manager does when fiskald fails) is
// set here only: SetRecovery.

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "service/os/service_state.h"
#include "service/os/system.h"
#include "service/os/windows_service.h"

namespace fiskal::service {

static_assert(static_cast<DWORD>(ServiceStatus::kStopped) == SERVICE_STOPPED);
static_assert(static_cast<DWORD>(ServiceStatus::kStartPending) == SERVICE_START_PENDING);
static_assert(static_cast<DWORD>(ServiceStatus::kStopPending) == SERVICE_STOP_PENDING);
static_assert(static_cast<DWORD>(ServiceStatus::kRunning) == SERVICE_RUNNING);
static_assert(static_cast<DWORD>(ServiceControl::kStop) == SERVICE_CONTROL_STOP);
static_assert(static_cast<DWORD>(ServiceControl::kInterrogate) == SERVICE_CONTROL_INTERROGATE);
static_assert(static_cast<DWORD>(ServiceControl::kShutdown) == SERVICE_CONTROL_SHUTDOWN);
static_assert(kAcceptStop == SERVICE_ACCEPT_STOP && kAcceptShutdown == SERVICE_ACCEPT_SHUTDOWN);
static_assert(kServiceSpecificError == ERROR_SERVICE_SPECIFIC_ERROR);

namespace {

// Handles that close themselves.
struct ServiceHandle {
  SC_HANDLE h = nullptr;
  ServiceHandle(SC_HANDLE handle) : h(handle) {}
  ~ServiceHandle() {
    if (h != nullptr) CloseServiceHandle(h);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  explicit operator bool() const { return h != nullptr; }
};

std::string ThisProgram() {
  char path[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string("fiskald.exe");
}

Status OpenManager(DWORD access, ServiceHandle* manager) {
  manager->h = OpenSCManagerA(nullptr, nullptr, access);
  if (!*manager) {
    return Status::FromWindowsError("the service manager: cannot open it", GetLastError(),
                                    "run this from a command prompt opened as administrator");
  }
  return Status::Ok();
}

// The recovery: fiskald restarted 5 s after its first and its second failure
// (a crash, or a stop with an error status), left stopped after a third;
// the count starts again after a day without failure.
constexpr DWORD kRestartDelayMs = 5000;
constexpr DWORD kFailureCountResetSeconds = 24 * 60 * 60;
constexpr const char* kRecoveryText =
    "restarted 5 s after a first and a second failure within a day";
constexpr const char* kRecoveryByHand =
    "set it by hand: sc failure fiskald reset= 86400 actions= restart/5000/restart/5000//";

Status SetRecovery(SC_HANDLE service) {
  SC_ACTION actions[] = {{SC_ACTION_RESTART, kRestartDelayMs},
                         {SC_ACTION_RESTART, kRestartDelayMs},
                         {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA failure{};
  failure.dwResetPeriod = kFailureCountResetSeconds;
  failure.cActions = sizeof actions / sizeof actions[0];
  failure.lpsaActions = actions;
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
    return Status::FromWindowsError(std::string("service ") + kServiceName +
                                        ": cannot set its recovery",
                                    GetLastError(), kRecoveryByHand);
  }
  // A stop with an error status counts as a failure too, not only a crash.
  // Said, not fatal, when refused: the restarts after a crash stand (Wine
  // refuses it).
  SERVICE_FAILURE_ACTIONS_FLAG on_error{TRUE};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_error)) {
    Say(Status::FromWindowsError(std::string("service ") + kServiceName +
                                     ": a stop with an error will not count as a failure, "
                                     "only a crash",
                                 GetLastError(), "set it by hand: sc failureflag fiskald 1")
            .message());
  }
  return Status::Ok();
}

// At the service's start: a service without recovery (as the MSI installs
// it: Windows Installer cannot set one) is given fiskald's; one an
// administrator has set is kept. Says what it did in the log.
void SetRecoveryWhenNone() {
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  ServiceHandle service(manager ? OpenServiceA(manager.h, kServiceName,
                                               SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG |
                                                   SERVICE_START)
                                : nullptr);
  if (!service) {
    Say(Status::FromWindowsError("the service's recovery: cannot open the service to check it",
                                 GetLastError(), kRecoveryByHand)
            .message());
    return;
  }
  DWORD needed = 0;
  QueryServiceConfig2A(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
  std::vector<unsigned char> buffer(std::max<DWORD>(needed, sizeof(SERVICE_FAILURE_ACTIONSA)));
  if (!QueryServiceConfig2A(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(),
                            static_cast<DWORD>(buffer.size()), &needed)) {
    Say(Status::FromWindowsError("the service's recovery: cannot read it, so it is left as it is",
                                 GetLastError(), kRecoveryByHand)
            .message());
    return;
  }
  const auto* set = reinterpret_cast<const SERVICE_FAILURE_ACTIONSA*>(buffer.data());
  if (set->cActions > 0) return;
  if (Status s = SetRecovery(service.h); !s.ok()) {
    Say(s.message());
    return;
  }
  Say(std::string("the service had no recovery; now ") + kRecoveryText);
}

// The service while it runs: its status handle and state.
struct Running {
  SERVICE_STATUS_HANDLE handle = nullptr;
  std::unique_ptr<ServiceState> state;
  std::function<int()> serve;
  std::string journal;
  std::uint64_t log_limit = 0;
  int exit_status = 1;
  // The stop pending reports while the ports drain.
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
};
std::atomic<Running*> running{nullptr};

void Report(const ServiceReport& r) {
  Running* now = running.load();
  if (now == nullptr || now->handle == nullptr) return;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = static_cast<DWORD>(r.status);
  status.dwControlsAccepted = r.accepted;
  status.dwWin32ExitCode = r.exit_code;
  status.dwServiceSpecificExitCode = r.service_code;
  status.dwCheckPoint = r.checkpoint;
  status.dwWaitHint = r.wait_hint_ms;
  SetServiceStatus(now->handle, &status);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD, void*, void*) {
  Running* now = running.load();
  if (now == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  if (now->state->Control(control)) DeliverStopSignal(SIGTERM);
  return control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN ||
                 control == SERVICE_CONTROL_INTERROGATE
             ? NO_ERROR
             : ERROR_CALL_NOT_IMPLEMENTED;
}

// The folder first, so that relative paths and the log file are there;
// then fiskald's messages go to the log file.
void MakeReady(const std::string& journal, std::uint64_t log_limit) {
  const std::string folder = DefaultJournal().substr(0, DefaultJournal().rfind('\\'));
  if (PrepareJournalFolder(DefaultJournal()).ok()) SetCurrentDirectoryA(folder.c_str());
  const std::size_t slash = journal.find_last_of("\\/");
  const std::string log =
      (slash == std::string::npos ? std::string() : journal.substr(0, slash + 1)) + "fiskald.log";
  // A service has no standard error: its messages go to the log file.
  if (SendMessagesTo(log, log_limit).ok()) Say("started by the service manager");
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  Running* now = running.load();
  now->handle = RegisterServiceCtrlHandlerExA(kServiceName, OnServiceControl, nullptr);
  if (now->handle == nullptr) return;
  now->state->Starting();
  MakeReady(now->journal, now->log_limit);
  SetRecoveryWhenNone();
  // Pending reports, twice within each hint, until fiskald has ended.
  std::thread pacer([now] {
    std::unique_lock<std::mutex> lock(now->mutex);
    while (!now->ended.wait_for(lock, std::chrono::milliseconds(kPendingHintMs / 3),
                                [now] { return now->done; })) {
      const ServiceStatus status = now->state->Current().status;
      if (status == ServiceStatus::kStopPending) {
        now->state->Stopping();
      } else if (status == ServiceStatus::kStartPending) {
        now->state->Starting();
      }
    }
  });
  now->exit_status = now->serve();
  {
    std::lock_guard<std::mutex> lock(now->mutex);
    now->done = true;
  }
  now->ended.notify_all();
  pacer.join();
  now->state->Stopped(now->exit_status);
}

}  // namespace

Status InstallService(const std::vector<std::string>& options, std::string* done) {
  std::vector<std::string> line = {ThisProgram(), kAsServiceOption};
  line.insert(line.end(), options.begin(), options.end());
  const std::string command = WindowsCommandLine(line);
  ServiceHandle manager(nullptr);
  if (Status s = OpenManager(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT, &manager); !s.ok()) {
    return s;
  }
  const char* display = kServiceDisplayName;
  ServiceHandle service(CreateServiceA(manager.h, kServiceName, display, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                       SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr));
  std::string what = "installed";
  if (!service && GetLastError() == ERROR_SERVICE_EXISTS) {
    // Installed again: the new options replace the old ones.
    service.h = OpenServiceA(manager.h, kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_START);
    if (!service || !ChangeServiceConfigA(service.h, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                          SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
                                          nullptr, nullptr, nullptr, nullptr, display)) {
      return Status::FromWindowsError(std::string("service ") + kServiceName +
                                          ": cannot change its options",
                                      GetLastError());
    }
    what = "updated";
  } else if (!service) {
    return Status::FromWindowsError(std::string("service ") + kServiceName + ": cannot install it",
                                    GetLastError());
  }
  std::string text = kServiceDescription;
  SERVICE_DESCRIPTIONA description{text.data()};
  ChangeServiceConfig2A(service.h, SERVICE_CONFIG_DESCRIPTION, &description);
  if (Status s = SetRecovery(service.h); !s.ok()) return s;
  *done = std::string(what) + " the service " + kServiceName +
          " (starts with Windows, as LocalSystem; " + kRecoveryText + "): " + command +
          "\nstart it now with: sc start " + kServiceName;
  return Status::Ok();
}

Status UninstallService(std::string* done) {
  ServiceHandle manager(nullptr);
  if (Status s = OpenManager(SC_MANAGER_CONNECT, &manager); !s.ok()) return s;
  ServiceHandle service(
      OpenServiceA(manager.h, kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) {
    return Status::FromWindowsError(std::string("service ") + kServiceName +
                                        ": cannot open it to remove it",
                                    GetLastError());
  }
  SERVICE_STATUS status{};
  std::string stopping;
  if (QueryServiceStatus(service.h, &status) && status.dwCurrentState != SERVICE_STOPPED) {
    if (ControlService(service.h, SERVICE_CONTROL_STOP, &status)) {
      stopping = "; it is stopping: it finishes the receipt being sent on each port and keeps "
                 "queued ones in the journal";
    }
  }
  if (!DeleteService(service.h)) {
    return Status::FromWindowsError(std::string("service ") + kServiceName +
                                        ": cannot remove it",
                                    GetLastError());
  }
  *done = std::string("removed the service ") + kServiceName + stopping;
  return Status::Ok();
}

Status RunAsService(const std::string& journal, std::uint64_t log_limit,
                    const std::function<int()>& serve, int* exit_status) {
  Running now;
  now.state = std::make_unique<ServiceState>(Report);
  now.journal = journal;
  now.log_limit = log_limit;
  now.serve = serve;
  running.store(&now);
  char name[] = "fiskald";
  SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    const DWORD err = GetLastError();
    running.store(nullptr);
    return Status::FromWindowsError(std::string(kAsServiceOption) +
                                        ": cannot reach the service manager",
                                    err,
                                    "only the service manager starts fiskald so: sc start "
                                    "fiskald");
  }
  running.store(nullptr);
  *exit_status = now.exit_status;
  return Status::Ok();
}

void ServiceListening() {
  if (Running* now = running.load(); now != nullptr) now->state->Ready();
}

void ServiceDraining() {
  if (Running* now = running.load(); now != nullptr) now->state->Stopping();
}

}  // namespace fiskal::service
