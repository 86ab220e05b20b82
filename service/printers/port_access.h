// Port access for the printers' workers: the device a port is configured
// with, its run lock (the lock fiskal takes, so that a fiskal run and
// fiskald never interleave on one device), its serial port, and why it
// cannot be opened now. PortAccess is what the workers need of the world,
// so that tests can fake it; SystemPortAccess is the real one.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "base/status.h"
#include "line/clock.h"
#include "line/port.h"
#include "line/run_lock.h"

namespace fiskal::service {

class PortAccess {
 public:
  virtual ~PortAccess() = default;
  // The device of port n (1..9), empty when the port is not configured.
  virtual std::string Device(int port) = 0;
  // Takes the port's run lock without waiting; *busy when another run
  // holds it.
  virtual Status Lock(int port, const std::string& device, std::unique_ptr<RunLock>* lock,
                      bool* busy) = 0;
  // The serial port on the device, to be sent through under the lock.
  virtual std::unique_ptr<Port> Open(int port, const std::string& device) = 0;
  // Why the device cannot take a text now, or empty when it can.
  virtual std::string WhyCannotOpen(int port, const std::string& device) = 0;
};

// The real ports: the devices configured (port number to device), the run
// locks fiskal takes, its serial port.
std::unique_ptr<PortAccess> SystemPortAccess(Clock& clock, std::map<int, std::string> devices);

}  // namespace fiskal::service
