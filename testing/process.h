// Child processes for end-to-end tests: the binaries under test, socat.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "testing/now.h"

namespace fiskal::testing {

struct ProcessResult {
  int status = -1;  // exit status; 128 + n when killed by signal n
  std::string out;
  std::string err;
};

class Process {
 public:
  // Starts argv[0] (a path) in `folder`, with standard input from
  // /dev/null and standard output and error into files read by Wait().
  Process(std::vector<std::string> argv, const std::string& folder);
  ~Process();  // kills a child still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // What the child has written to standard error so far.
  std::string ErrSoFar() const;
  void Signal(int signal);
  // Stops the child (SIGSTOP) and waits until it has stopped: from then on
  // it holds whatever it held, for as long as the test needs. False when
  // it ended instead. Continue() lets it go on.
  bool Stop();
  void Continue();
  // Waits until the child has taken `signal` sent to it (it is no longer
  // pending: the handler runs before anything else the child does); false
  // when `seconds` pass first (a guard against a hang).
  bool WaitUntilTaken(int signal, double seconds = 30);
  // Waits for the child; kills it when it has not ended after `seconds`
  // (a guard against a hang, never a speed requirement).
  ProcessResult Wait(double seconds = 120);

 private:
  pid_t pid_ = -1;
  std::string out_path_;
  std::string err_path_;
};

// Starts, waits, returns.
ProcessResult RunProcess(std::vector<std::string> argv, const std::string& folder);

// Waits until `path` exists (or `seconds` pass); true when it does.
bool WaitForPath(const std::string& path, double seconds = 20);

}  // namespace fiskal::testing
