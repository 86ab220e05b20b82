#include "testing/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "testing/temp_dir.h"

namespace fiskal::testing {

namespace {

void SleepMs(int ms) {
  timespec d{0, ms * 1'000'000L};
  nanosleep(&d, nullptr);
}

std::string OutputPath(const char* what) {
  static int counter = 0;
  return (std::filesystem::temp_directory_path() /
          ("fiskal-test-" + std::to_string(::getpid()) + "-" +
           std::to_string(++counter) + "." + what))
      .string();
}

}  // namespace

Process::Process(std::vector<std::string> argv, const std::string& folder)
    : out_path_(OutputPath("out")), err_path_(OutputPath("err")) {
  pid_ = ::fork();
  if (pid_ != 0) return;
  const int in = ::open("/dev/null", O_RDONLY);
  const int out = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || out < 0 || err < 0) ::_exit(126);
  ::dup2(in, 0);
  ::dup2(out, 1);
  ::dup2(err, 2);
  if (::chdir(folder.c_str()) != 0) ::_exit(126);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ignored;
  std::filesystem::remove(out_path_, ignored);
  std::filesystem::remove(err_path_, ignored);
}

std::string Process::ErrSoFar() const {
  return ::access(err_path_.c_str(), F_OK) == 0 ? ReadAll(err_path_) : std::string();
}

void Process::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

bool Process::Stop() {
  if (pid_ <= 0 || ::kill(pid_, SIGSTOP) != 0) return false;
  siginfo_t info{};
  // WNOWAIT: an end stays to be collected by Wait().
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WSTOPPED | WEXITED | WNOWAIT) != 0) {
    return false;
  }
  return info.si_code == CLD_STOPPED;
}

void Process::Continue() { Signal(SIGCONT); }

bool Process::WaitUntilTaken(int signal, double seconds) {
  const std::string status_path = "/proc/" + std::to_string(pid_) + "/status";
  const unsigned long long bit = 1ULL << (signal - 1);
  const double deadline = MonotonicNow() + seconds;
  for (;;) {
    // Signals pending for the process (ShdPnd) or its thread (SigPnd).
    unsigned long long pending = 0;
    std::ifstream status(status_path);
    if (!status) return false;  // the child is gone
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("ShdPnd:", 0) == 0 || line.rfind("SigPnd:", 0) == 0) {
        pending |= std::stoull(line.substr(7), nullptr, 16);
      }
    }
    if ((pending & bit) == 0) return true;
    if (MonotonicNow() > deadline) return false;
    SleepMs(1);
  }
}

ProcessResult Process::Wait(double seconds) {
  ProcessResult result;
  if (pid_ <= 0) return result;
  const double deadline = MonotonicNow() + seconds;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (MonotonicNow() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    SleepMs(5);
  }
  pid_ = -1;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status)
                                    : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  result.out = ReadAll(out_path_);
  result.err = ReadAll(err_path_);
  return result;
}

ProcessResult RunProcess(std::vector<std::string> argv, const std::string& folder) {
  Process process(std::move(argv), folder);
  return process.Wait();
}

bool WaitForPath(const std::string& path, double seconds) {
  const double deadline = MonotonicNow() + seconds;
  while (::access(path.c_str(), F_OK) != 0) {
    if (MonotonicNow() > deadline) return false;
    SleepMs(5);
  }
  return true;
}

}  // namespace fiskal::testing
