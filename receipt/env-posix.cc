#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "line/run_lock.h"
#include "line/serial_port.h"
#include "line/stop_signal.h"
#include "receipt/env.h"

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

class PosixEnv : public Env {
 public:
  PosixEnv() { CatchStopSignals(); }

  Status ReadFile(const std::string& path, std::string* contents) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Status::FromErrno(path + ": cannot open", errno);
    std::string data;
    char buffer[64 * 1024];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        ::close(fd);
        return Status::FromErrno(path + ": cannot read", err);
      }
      data.append(buffer, static_cast<std::size_t>(n));
      if (data.size() > kMaxInputBytes) {
        ::close(fd);
        return Status::Error(path + ": larger than " +
                             std::to_string(kMaxInputBytes >> 20) +
                             " MiB; not a receipt");
      }
    }
    ::close(fd);
    *contents = std::move(data);
    return Status::Ok();
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
  static PosixEnv env;
  return env;
}

}  // namespace fiskal
