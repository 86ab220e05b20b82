// fiskald as a Windows service, on POSIX systems: there is none; a service
// manager such as systemd starts fiskald as it is (fiskald.service).

#include "service/os/windows_service.h"

namespace fiskal::service {

namespace {
const char* const kNotHere =
    "a Windows service is for fiskald.exe on Windows; here a service manager starts fiskald "
    "itself (systemd: the unit fiskald.service)";
}

Status InstallService(const std::vector<std::string>&, std::string*) {
  return Status::Error(std::string("--install-service: ") + kNotHere);
}

Status UninstallService(std::string*) {
  return Status::Error(std::string("--uninstall-service: ") + kNotHere);
}

Status RunAsService(const std::string&, std::uint64_t, const std::function<int()>&, int*) {
  return Status::Error(std::string(kAsServiceOption) + ": " + kNotHere);
}

void ServiceListening() {}
void ServiceDraining() {}

}  // namespace fiskal::service
