// The system's ejabberd (its mod_mqtt) as a test's broker (see
// ejabberd.h), its configuration the shipped examples/broker/ejabberd.yml
// filled in.
#include "testing/ejabberd.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "testing/now.h"
#include "testing/process.h"

namespace fiskal::testing {

namespace {

constexpr const char* kEjabberdctl = "/usr/sbin/ejabberdctl";
constexpr const char* kErl = "erl";

// Where the package keeps ejabberd's Erlang applications, as its
// ejabberdctl tells the VM (ERL_LIBS='...'); empty when it says nothing.
std::string EjabberdLibs() {
  std::istringstream script(ReadFrom(kEjabberdctl));
  for (std::string line; std::getline(script, line);) {
    if (line.rfind("ERL_LIBS=", 0) != 0) continue;
    std::string value = line.substr(9);
    std::erase(value, '\'');
    std::erase(value, '"');
    return value;
  }
  return {};
}

// Whether something accepts a TCP connection on 127.0.0.1:`port` now.
bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

TestEjabberd::TestEjabberd(const TempDir& dir, const EjabberdOptions& options)
    : dir_(dir.File("ejabberd")), options_(options) {}

bool TestEjabberd::Installed() { return ::access(kEjabberdctl, R_OK) == 0; }

Status TestEjabberd::Start(const TempDir& dir, const EjabberdOptions& options,
                           std::unique_ptr<TestEjabberd>* broker) {
  if (!Installed()) {
    return Status::Error(std::string("test ejabberd: ") + kEjabberdctl +
                         " is not installed (scripts/setup installs the package ejabberd)");
  }
  std::unique_ptr<TestEjabberd> made(new TestEjabberd(dir, options));
  std::error_code error;
  std::filesystem::create_directories(made->dir_ + "/logs", error);
  if (error) return Status::Error(made->dir_ + ": " + error.message());
  // The Erlang terms written below quote the folder and the users as they
  // are.
  if (made->dir_.find_first_of("\"\\'") != std::string::npos) {
    return Status::Error("test ejabberd: a folder with a quote or backslash: " + made->dir_);
  }
  for (const std::string& user : options.users) {
    if (user.empty() || user.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstu"
                                               "vwxyz0123456789._-") != std::string::npos) {
      return Status::Error("test ejabberd: a user name other than A-Z a-z 0-9 . _ -: " + user);
    }
  }
  if (Status s = made->MakeFiles(); !s.ok()) return s.Context("test ejabberd");
  // A port found free may be taken before ejabberd binds it: then other
  // ports, a few times.
  Status started;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::vector<int> ports = FreePorts(2);
    made->port_ = ports[0];
    made->tls_port_ = ports[1];
    started = made->Launch();
    if (started.ok() || started.message().find("eaddrinuse") == std::string::npos) break;
  }
  if (!started.ok()) return started.Context("test ejabberd");
  *broker = std::move(made);
  return Status::Ok();
}

std::unique_ptr<TestEjabberd> TestEjabberd::StartOrFail(const TempDir& dir,
                                                        const EjabberdOptions& options) {
  std::unique_ptr<TestEjabberd> broker;
  if (Status s = Start(dir, options, &broker); !s.ok()) throw std::runtime_error(s.message());
  return broker;
}

TestEjabberd::~TestEjabberd() { Kill(); }

std::string TestEjabberd::url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
std::string TestEjabberd::tls_url() const {
  return "mqtts://localhost:" + std::to_string(tls_port_);
}
std::string TestEjabberd::ca_file() const { return dir_ + "/chain-ca.pem"; }
std::string TestEjabberd::password_file(const std::string& user) const {
  return dir_ + "/password-" + user;
}
std::string TestEjabberd::log() const { return ReadFrom(dir_ + "/ejabberd.out"); }

MqttConnect TestEjabberd::As(const std::string& user, const std::string& client_id) const {
  MqttConnect how;
  how.url = url();
  how.client_id = client_id;
  how.username = user;
  how.password = password(user);
  return how;
}

std::vector<std::string> TestEjabberd::FiskaldOptions(const std::string& shop,
                                                      const std::string& user) const {
  return {"--broker", url(), "--shop", shop, "--broker-user", user,
          "--broker-password-file", password_file(user)};
}

Status TestEjabberd::MakeFiles() {
  if (Status s = MakeCertificates(dir_, {}, /*other_ca=*/false); !s.ok()) return s;
  // The server's certificate with the CA's after it: the chain it shows.
  WriteAll(dir_ + "/broker-chain.pem", ReadFrom(dir_ + "/broker.pem") + ReadFrom(ca_file()));
  for (const std::string& user : options_.users) {
    const std::string file = password_file(user);
    WriteAll(file, password(user) + "\n");
    if (::chmod(file.c_str(), 0600) != 0) return Status::FromErrno("chmod " + file, errno);
  }
  return Status::Ok();
}

Status TestEjabberd::Launch() {
  // The shipped example, its places filled in.
  const std::string example = std::string(FISKAL_EXAMPLES) + "/broker/ejabberd.yml";
  std::string config = ReadFrom(example);
  if (config.empty()) return Status::Error(example + ": cannot read it");
  if (!options_.session_expiry.empty()) {
    const std::string key = "session_expiry: ";
    const std::size_t at = config.find("\n    " + key);
    if (at == std::string::npos) return Status::Error(example + ": no session_expiry to change");
    const std::size_t value = at + 5 + key.size();
    config.replace(value, config.find('\n', value) - value, options_.session_expiry);
  }
  for (const auto& [place, value] :
       std::vector<std::pair<std::string, std::string>>{
           {"@HOST@", "localhost"},
           {"@IP@", "127.0.0.1"},
           {"@PORT@", std::to_string(port_)},
           {"@TLS_PORT@", std::to_string(tls_port_)},
           {"@CERTFILE@", dir_ + "/broker-chain.pem"},
           {"@KEYFILE@", dir_ + "/broker.key"}}) {
    config = ReplaceAll(config, place, value);
  }
  WriteAll(dir_ + "/ejabberd.yml", config);

  // Once ejabberd has started, the VM makes the users (again: "exists"
  // the next time) and says so in the file "ready".
  const std::string ready = dir_ + "/ready";
  std::error_code ignored;
  std::filesystem::remove(ready, ignored);
  std::string users;
  for (const std::string& user : options_.users) {
    users += std::string(users.empty() ? "" : ", ") + "{<<\"" + user + "\">>, <<\"" +
             password(user) + "\">>}";
  }
  const std::string make_users =
      "R = [ejabberd_auth:try_register(U, <<\"localhost\">>, P) || {U, P} <- [" + users +
      "]], ok = file:write_file(\"" + ready + ".part\", io_lib:format(\"~p~n\", [R])), " +
      "ok = file:rename(\"" + ready + ".part\", \"" + ready + "\").";
  const std::vector<std::string> argv = {
      kErl, "-noinput",
      // No distribution: no node name, cookie or epmd to share with anyone.
      "-start_epmd", "false",
      // Schedulers that sleep when idle, on a machine others share.
      "+sbwt", "none", "+sbwtdcpu", "none", "+sbwtdio", "none",
      "-mnesia", "dir", "\"" + dir_ + "/spool\"",
      "-s", "ejabberd", "-eval", make_users};
  std::vector<std::string> env = {
      "HOME=" + dir_,
      "EJABBERD_CONFIG_PATH=" + dir_ + "/ejabberd.yml",
      "EJABBERD_LOG_PATH=" + dir_ + "/logs/ejabberd.log",
      "ERL_CRASH_DUMP=" + dir_ + "/logs/erl_crash.dump",
      "ERL_EPMD_ADDRESS=127.0.0.1",
  };
  if (const std::string libs = EjabberdLibs(); !libs.empty()) env.push_back("ERL_LIBS=" + libs);
  const std::string log_path = dir_ + "/ejabberd.out";
  const std::size_t offset = ReadFrom(log_path).size();
  const double begun = MonotonicNow();
  pid_ = SpawnLogged(argv, log_path, env);
  if (pid_ < 0) return Status::FromErrno("fork", errno);
  // A guard against a hang: ejabberd takes seconds to start on a busy
  // machine.
  const double patience = 3 * kBrokerPatience;
  const double deadline = begun + patience;
  for (bool users_made = false;;) {
    if (!users_made && ::access(ready.c_str(), F_OK) == 0) {
      std::string made = ReadFrom(ready);
      for (const char* fine : {"ok", "{error,exists}", "[", "]", ",", " ", "\n"}) {
        made = ReplaceAll(made, fine, "");
      }
      if (!made.empty()) {
        Kill();
        return Status::Error("ejabberd did not make the users: " + ReadFrom(ready));
      }
      users_made = true;
    }
    if (users_made && Accepts(port_) && Accepts(tls_port_)) break;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return Status::Error("ejabberd ended (status " + std::to_string(status) + "): " +
                           ReadFrom(log_path, offset));
    }
    if (MonotonicNow() > deadline) {
      Kill();
      return Status::Error("ejabberd did not start within " +
                           std::to_string(static_cast<int>(patience)) +
                           " s: " + ReadFrom(log_path, offset));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  start_seconds_ = MonotonicNow() - begun;
  return Status::Ok();
}

Status TestEjabberd::Stop() {
  if (pid_ <= 0) return Status::Ok();
  // The VM takes SIGTERM as init:stop(): ejabberd and Mnesia close.
  ::kill(pid_, SIGTERM);
  if (!WaitExit(pid_, kBrokerPatience)) {
    Kill();
    return Status::Error("ejabberd did not end on SIGTERM within " +
                         std::to_string(static_cast<int>(kBrokerPatience)) + " s");
  }
  pid_ = -1;
  return Status::Ok();
}

void TestEjabberd::Kill() {
  if (pid_ <= 0) return;
  KillChild(pid_);
  pid_ = -1;
}

Status TestEjabberd::Restart() {
  if (Status s = Stop(); !s.ok()) return s;
  return Launch().Context("test ejabberd restarted");
}

}  // namespace fiskal::testing
