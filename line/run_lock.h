// Locks held for the whole length of a receipt run, so that two runs never
// interleave: one on the folder's transcript, one on the port's device.
// They are advisory locks of the operating system on open files, so they
// vanish with the process, however it ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/status.h"

namespace fiskal {

class RunLock {
 public:
  virtual ~RunLock() = default;  // releases the lock
};

// The lock file of a device: named after its real path (links resolved),
// in the system's runtime lock folder, else the temporary folder.
std::string PortLockPath(const std::string& device);

// The file name of the lock of a device whose real name is given: letters,
// digits, '.' and '-' kept, anything else '_'.
std::string PortLockFileName(std::string_view real_name);

// Takes the run lock of port nPort on `device` without waiting. Fails with
// "... is in use by another receipt run" when another run holds it.
Status LockPortForRun(std::uint8_t nPort, const std::string& device,
                      std::unique_ptr<RunLock>* lock);

}  // namespace fiskal
