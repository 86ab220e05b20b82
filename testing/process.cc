#include "testing/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

pid_t SpawnLogged(const std::vector<std::string>& argv, const std::string& log,
                  const std::vector<std::string>& env) {
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  args.reserve(copy.size() + 1);
  for (std::string& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<std::string> variables;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string variable = *e;
    const std::string name = variable.substr(0, variable.find('='));
    bool replaced = false;
    for (const std::string& over : env) replaced |= over.rfind(name + "=", 0) == 0;
    if (!replaced) variables.push_back(variable);
  }
  variables.insert(variables.end(), env.begin(), env.end());
  std::vector<char*> envp;
  envp.reserve(variables.size() + 1);
  for (std::string& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Only calls that are safe between fork and exec from here on.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(126);
  const int in = ::open("/dev/null", O_RDONLY);
  const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (in < 0 || out < 0) ::_exit(126);
  ::dup2(in, 0);
  ::dup2(out, 1);
  ::dup2(out, 2);
  ::syscall(SYS_close_range, 3U, ~0U, 0U);
  ::execvpe(args[0], args.data(), envp.data());
  ::_exit(127);
}

std::optional<int> WaitExit(pid_t pid, double seconds) {
  int status = 0;
  const double deadline = MonotonicNow() + seconds;
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) break;  // not ours (any more)
    const double left = deadline - MonotonicNow();
    if (left <= 0) {
      if (fd >= 0) ::close(fd);
      return std::nullopt;
    }
    if (fd >= 0) {
      // Readable when the child has ended.
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
    } else {
      SleepMs(10);
    }
  }
  if (fd >= 0) ::close(fd);
  return status;
}

Status RunTool(const std::vector<std::string>& argv, const std::string& log, double seconds) {
  const std::size_t before = ReadFrom(log).size();
  const pid_t pid = SpawnLogged(argv, log);
  if (pid < 0) return Status::FromErrno("fork", errno);
  const std::optional<int> status = WaitExit(pid, seconds);
  if (!status) {
    KillChild(pid);
    return Status::Error(argv[0] + ": did not end within " +
                         std::to_string(static_cast<int>(seconds)) + " s");
  }
  if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    std::string command;
    for (const std::string& a : argv) command += (command.empty() ? "" : " ") + a;
    return Status::Error(command + ": failed (status " + std::to_string(*status) +
                         "): " + ReadFrom(log, before));
  }
  return Status::Ok();
}

void KillChild(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

std::string ReadFrom(const std::string& path, std::size_t offset) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  std::string all = out.str();
  return offset < all.size() ? all.substr(offset) : std::string();
}

}  // namespace fiskal::testing
