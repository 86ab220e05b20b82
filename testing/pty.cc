#include "testing/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

#include "testing/now.h"

namespace fiskal::testing {

Pty::Pty() {
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  path_ = name;
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty() {
  if (slave_ >= 0) ::close(slave_);
  CloseMaster();
}

void Pty::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void Pty::CloseSlave() {
  if (slave_ >= 0) ::close(slave_);
  slave_ = -1;
}

void Pty::OpenSlave() {
  CloseSlave();
  slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) throw std::runtime_error("cannot open " + path_ + " again");
}

bool Pty::WaitUntilSlaveClosed(double seconds) {
  const double deadline = MonotonicNow() + seconds;
  for (;;) {
    const double left = deadline - MonotonicNow();
    if (left <= 0) return false;
    // The master is hung up while no descriptor of the device end is open.
    pollfd p{master_, 0, 0};
    if (::poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
    return (p.revents & POLLHUP) != 0;
  }
}

std::string Pty::Read(std::size_t size, double seconds) {
  std::string data;
  const double deadline = MonotonicNow() + seconds;
  while (data.size() < size) {
    const double left = deadline - MonotonicNow();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

std::string Pty::ReadFor(double seconds) {
  return Read(static_cast<std::size_t>(-1), seconds);
}

}  // namespace fiskal::testing
