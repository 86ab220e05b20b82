// A pseudo-terminal pair for tests of the serial line: the program under
// test opens the device path of the slave end, the test reads the master.
#pragma once

#include <string>

namespace fiskal::testing {

class Pty {
 public:
  Pty();  // throws when no pseudo-terminal can be had
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }  // the test's own descriptor
  const std::string& path() const { return path_; }

  // Reads from the master until `size` bytes came or `seconds` passed
  // without them (a guard against a hang, not a speed requirement).
  std::string Read(std::size_t size, double seconds = 10);
  // Whatever arrives within `seconds`.
  std::string ReadFor(double seconds);

  void CloseMaster();

  // Closes the test's own descriptor of the device end, and opens it again:
  // while neither the test nor the program under test holds it, the master
  // sees the device end closed (SlaveClosed).
  void CloseSlave();
  void OpenSlave();
  // Waits until nothing holds the device end open (the program under test
  // closed it, the test's own descriptor being closed); false when
  // `seconds` pass first (a guard against a hang) or the master fails.
  bool WaitUntilSlaveClosed(double seconds = 30);

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace fiskal::testing
