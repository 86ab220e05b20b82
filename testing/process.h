// Child processes for end-to-end tests: the binaries under test, socat,
// the servers of a test (the MQTT brokers) and the tools that prepare
// them (openssl). Spawning, waiting, killing and reading what a child
// wrote are written here only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"
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

// --- servers of a test and the tools that prepare them ---

// Starts argv (argv[0] searched in PATH) with standard input from
// /dev/null and standard output and error appended to `log`, in our
// environment with `env` ("NAME=value") put over it. The child holds no
// descriptor of ours, and is killed when the thread that started it ends,
// so it never outlives the test. -1 when it cannot be started (errno).
pid_t SpawnLogged(const std::vector<std::string>& argv, const std::string& log,
                  const std::vector<std::string>& env = {});
// Waits for the child `pid` to end, at most `seconds` (without polling);
// its wait status when it has.
std::optional<int> WaitExit(pid_t pid, double seconds);
// SIGKILL to the child `pid`, and waits for its end.
void KillChild(pid_t pid);
// Runs a tool to its end, its output appended to `log`; killed after
// `seconds`. The error names the command and carries what it wrote.
Status RunTool(const std::vector<std::string>& argv, const std::string& log, double seconds);
// What the file `path` holds from byte `offset` on; empty when it does
// not exist (yet).
std::string ReadFrom(const std::string& path, std::size_t offset = 0);

}  // namespace fiskal::testing
