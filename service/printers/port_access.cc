// The real port access: the devices configured, fiskal's run locks and
// serial port, and the system's word on whether a device can be opened.
#include "service/printers/port_access.h"

#include <cstdint>
#include <utility>

#include "line/serial_port.h"

namespace fiskal::service {

namespace {

class SystemPorts : public PortAccess {
 public:
  SystemPorts(Clock& clock, std::map<int, std::string> devices)
      : clock_(clock), devices_(std::move(devices)) {}
  std::string Device(int port) override {
    const auto at = devices_.find(port);
    return at == devices_.end() ? std::string() : at->second;
  }
  Status Lock(int port, const std::string& device, std::unique_ptr<RunLock>* lock,
              bool* busy) override {
    return LockPortForRun(static_cast<std::uint8_t>(port), device, lock, busy);
  }
  std::unique_ptr<Port> Open(int port, const std::string& device) override {
    return NewSerialPort(static_cast<std::uint8_t>(port), device, clock_);
  }
  std::string WhyCannotOpen(int, const std::string& device) override {
    return WhyPortCannotOpen(device);
  }

 private:
  Clock& clock_;
  const std::map<int, std::string> devices_;
};

}  // namespace

std::unique_ptr<PortAccess> SystemPortAccess(Clock& clock, std::map<int, std::string> devices) {
  return std::make_unique<SystemPorts>(clock, std::move(devices));
}

}  // namespace fiskal::service
