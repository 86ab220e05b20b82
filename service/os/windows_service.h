// fiskald as a Windows service: registering it with the service manager,
// removing it, and running under it. The service is "fiskald", started
// automatically as LocalSystem with the options it was installed with.
// Under the service manager fiskald works in the folder of the default
// journal (%ProgramData%\fiskal), so relative paths in its options are
// there, and its messages go to fiskald.log beside its journal. What it
// reports and when is decided in service/service_state.h.
// One file per platform: windows_service-win32.cc, and
// windows_service-posix.cc, which refuses (systemd runs fiskald there).
// The MSI (cmake/windows/fiskal.wxs, built by cmake/msi.py) installs the
// same service: msi.py reads its name, display name and description here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/status.h"

namespace fiskal::service {

inline constexpr const char* kServiceName = "fiskald";
inline constexpr const char* kServiceDisplayName = "fiskal receipt service";
inline constexpr const char* kServiceDescription =
    "Takes receipts over HTTP, keeps them in a durable journal and prints each exactly "
    "once on the shop's fiscal printer.";

// The option the service manager starts fiskald with; not for people.
inline constexpr const char* kAsServiceOption = "--as-service";

// Registers (or updates) the service to start fiskald.exe with `options`,
// fiskald's arguments without --install-service. *done says what was done.
Status InstallService(const std::vector<std::string>& options, std::string* done);

// Asks a running service to stop (it finishes the receipt being sent on
// each port) and removes it. *done says what was done.
Status UninstallService(std::string* done);

// Runs `serve` under the service manager, for the journal `journal`: the
// folder and the log file (rotated past `log_limit` bytes) are made ready
// first. *exit_status is serve's. Refuses when fiskald was not started by
// the service manager.
Status RunAsService(const std::string& journal, std::uint64_t log_limit,
                    const std::function<int()>& serve, int* exit_status);

// Told by fiskald's start and stop (system-win32.cc's NotifyReady and
// NotifyStopping): no-ops outside the service manager.
void ServiceListening();
void ServiceDraining();

}  // namespace fiskal::service
