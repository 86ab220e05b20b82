// What fiskald asks of Windows: the console's control events stand for
// the stop signals (the system calls the handler on a thread of its own,
// which hands the event on as SIGINT or SIGTERM), and so do the service
// manager's Stop and Shutdown; the service manager hears when fiskald
// listens and when it drains (service/os/windows_service.h); the default
// journal's private folder; no descriptor limit below the connections'
// limit; the heap as it is.

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <csignal>
#include <mutex>

#include <cstdio>
#include <cstdlib>

#include "service/os/system.h"
#include "service/os/windows_service.h"

namespace fiskal::service {

namespace {

std::mutex watching;
std::function<void(int)> handler;

bool Deliver(int signal) {
  std::function<void(int)> call;
  {
    std::lock_guard<std::mutex> lock(watching);
    call = handler;
  }
  if (!call) return false;
  call(signal);
  return true;
}

BOOL WINAPI OnControl(DWORD event) {
  // Unwatched: the system's default, the process ends.
  return Deliver(event == CTRL_C_EVENT ? SIGINT : SIGTERM) ? TRUE : FALSE;
}

// The machine's folder for programs' data, as the shell knows it (the
// environment's ProgramData is not the same for every process: a service
// may be started with another).
std::string ProgramData() {
  char path[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK) {
    return path;
  }
  const DWORD n = GetEnvironmentVariableA("ProgramData", path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string("C:\\ProgramData");
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

void DeliverStopSignal(int signal) { Deliver(signal); }

void NotifyReady(const std::string&) { ServiceListening(); }
void NotifyStopping() { ServiceDraining(); }

std::string DefaultJournal() { return ProgramData() + "\\fiskal\\fiskald.db"; }

Status PrepareJournalFolder(const std::string& journal) {
  if (journal != DefaultJournal()) return Status::Ok();
  const std::string folder = journal.substr(0, journal.rfind('\\'));
  if (GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES) return Status::Ok();
  // Full control for SYSTEM and the Administrators, inherited by what is
  // made inside; nothing from the folder above.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
    return Status::FromWindowsError("journal folder " + folder + ": cannot describe its access",
                                    GetLastError());
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  const BOOL made = CreateDirectoryA(folder.c_str(), &attributes);
  const DWORD err = GetLastError();
  LocalFree(descriptor);
  if (!made && err != ERROR_ALREADY_EXISTS) {
    return Status::FromWindowsError("journal folder " + folder + ": cannot make it", err,
                                    "run fiskald as administrator, or give --journal PATH");
  }
  return Status::Ok();
}

std::size_t ConnectionsThatFit(std::size_t wanted, std::string* note) {
  note->clear();
  return wanted;
}

void ReturnFreedMemory() {}

}  // namespace fiskal::service
