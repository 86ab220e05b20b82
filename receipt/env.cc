#include <cstdlib>

#include "line/run_lock.h"
#include "line/serial_port.h"
#include "line/stop_signal.h"
#include "receipt/env.h"
#include "receipt/read_file.h"

namespace fiskal {

namespace {

// The input is small; anything larger than this is not a receipt.
constexpr std::size_t kMaxInputBytes = std::size_t{16} << 20;

// A port together with the run lock on its device.
class LockedPort : public Port {
 public:
  LockedPort(std::unique_ptr<Port> port, std::unique_ptr<RunLock> lock)
      : port_(std::move(port)), lock_(std::move(lock)) {}
  Status Send(std::string_view text) override { return port_->Send(text); }

 private:
  std::unique_ptr<Port> port_;
  std::unique_ptr<RunLock> lock_;
};

class SystemEnvironment : public Env {
 public:
  SystemEnvironment() { CatchStopSignals(); }

  Status ReadFile(const std::string& path, std::string* contents) override {
    return ReadInputFile(path, kMaxInputBytes, contents);
  }

  Status CreateTranscript(const std::string& path,
                          std::unique_ptr<Transcript>* transcript) override {
    return CreateFileTranscript(path, transcript);
  }

  Status NewPort(std::uint8_t nPort, std::unique_ptr<Port>* port) override {
    const std::string variable = PortVariable(nPort);
    const std::string device = PortDevice(nPort, std::getenv(variable.c_str()));
    std::unique_ptr<RunLock> lock;
    if (Status s = LockPortForRun(nPort, device, &lock); !s.ok()) return s;
    *port = std::make_unique<LockedPort>(NewSerialPort(nPort, device), std::move(lock));
    return Status::Ok();
  }

  Clock& clock() override { return MonotonicClock(); }

  int StopSignal() override { return CaughtStopSignal(); }
};

}  // namespace

Env& SystemEnv() {
  static SystemEnvironment env;
  return env;
}

}  // namespace fiskal
