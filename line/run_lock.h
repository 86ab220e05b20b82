// The run locks, written here only: the locks held for the whole length of
// a receipt run, so that two runs never interleave, one on the folder's
// transcript (one run per folder), one on the port's device (one run per
// port, whatever the folder and whatever name the device is given); and
// the lock on an open file that both, and fiskald's journal, are taken
// with. They are advisory locks of the operating system on open files, so
// they vanish with the process, however it ends. (The device's own flock
// and TIOCEXCL, taken around each text, are line/serial_port's.)
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/open_file.h"
#include "base/status.h"

namespace fiskal {

// Tries to take the run lock on an open file without waiting. Ok with
// *taken true: the lock is held until the file is closed. Ok with *taken
// false: another run holds it. Fails with "<what>: <the system's text>"
// when the system refuses the lock for any other reason. The one place
// where a run lock is taken.
Status TryRunLock(OpenFile file, std::string_view what, bool* taken);

// Takes the folder's run lock on the open transcript file at `path`
// without waiting, before the file is emptied: one receipt run per folder.
// Fails with "<path>: another receipt run is using this folder" when
// another run holds it, "<path>: cannot lock: <the system's text>" when
// the system refuses. The caller keeps the file open as long as it holds
// the lock, and closes it when this fails.
Status LockFolderForRun(OpenFile transcript, const std::string& path);

class RunLock {
 public:
  virtual ~RunLock() = default;  // releases the lock
};

// The folder of the port locks: FISKAL_LOCK_DIR when it is set and not
// empty; else the system's runtime lock folder, else the temporary folder.
std::string PortLockFolder();

// The lock file of a device: named after its real path (links resolved),
// in the port lock folder.
std::string PortLockPath(const std::string& device);

// The file name of the lock of a device whose real name is given: letters,
// digits, '.' and '-' kept, anything else '_'.
std::string PortLockFileName(std::string_view real_name);

// Takes the run lock of port nPort on `device` without waiting. Fails with
// "... is in use by another receipt run" when another run holds it, and
// then sets *busy when it is given.
Status LockPortForRun(std::uint8_t nPort, const std::string& device,
                      std::unique_ptr<RunLock>* lock, bool* busy = nullptr);

}  // namespace fiskal
