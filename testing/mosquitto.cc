// The system's mosquitto as a test's broker (see mosquitto.h), its
// configuration the shipped examples/broker/mosquitto.conf and fiskal.acl
// filled in.
#include "testing/mosquitto.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "testing/now.h"
#include "testing/process.h"

namespace fiskal::testing {

namespace {

constexpr const char* kMosquitto = "/usr/sbin/mosquitto";
constexpr const char* kMosquittoPasswd = "/usr/bin/mosquitto_passwd";

// The access list a chain is shown, loaded where it lies.
std::string AclFile() { return std::string(FISKAL_EXAMPLES) + "/broker/fiskal.acl"; }

}  // namespace

TestBroker::TestBroker(const TempDir& dir, const BrokerOptions& options)
    : dir_(dir.File("broker")), options_(options) {}

bool TestBroker::HasPasswords() { return ::access(kMosquittoPasswd, X_OK) == 0; }

Status TestBroker::Start(const TempDir& dir, const BrokerOptions& options,
                         std::unique_ptr<TestBroker>* broker) {
  if (options.password_listener && !HasPasswords()) {
    return Status::Error(std::string("password listener: ") + kMosquittoPasswd +
                         " is not installed");
  }
  std::unique_ptr<TestBroker> made(new TestBroker(dir, options));
  std::error_code error;
  std::filesystem::create_directories(made->dir_, error);
  if (error) return Status::Error(made->dir_ + ": " + error.message());
  if (Status s = made->MakeFiles(); !s.ok()) return s.Context("test broker");
  // A port found free may be taken before mosquitto binds it: then other
  // ports, a few times.
  Status started;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::vector<int> ports = FreePorts(3);
    made->port_ = ports[0];
    made->tls_port_ = ports[1];
    made->password_port_ = options.password_listener ? ports[2] : 0;
    started = made->Launch();
    if (started.ok() || started.message().find("in use") == std::string::npos) break;
  }
  if (!started.ok()) return started.Context("test broker");
  *broker = std::move(made);
  return Status::Ok();
}

std::unique_ptr<TestBroker> TestBroker::StartOrFail(const TempDir& dir,
                                                    const BrokerOptions& options) {
  std::unique_ptr<TestBroker> broker;
  if (Status s = Start(dir, options, &broker); !s.ok()) throw std::runtime_error(s.message());
  return broker;
}

TestBroker::~TestBroker() { Kill(); }

std::string TestBroker::url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
std::string TestBroker::tls_url() const {
  return "mqtts://localhost:" + std::to_string(tls_port_);
}
std::string TestBroker::password_url() const {
  return password_port_ == 0 ? std::string()
                             : "mqtt://127.0.0.1:" + std::to_string(password_port_);
}
std::string TestBroker::ca_file() const { return dir_ + "/chain-ca.pem"; }
std::string TestBroker::cert_file(const std::string& name) const {
  return dir_ + "/" + name + ".pem";
}
std::string TestBroker::key_file(const std::string& name) const {
  return dir_ + "/" + name + ".key";
}
std::string TestBroker::log() const { return ReadFrom(dir_ + "/mosquitto.log"); }

Status TestBroker::MakeFiles() {
  const std::string tools_log = dir_ + "/tools.log";
  if (Status s = MakeCertificates(dir_, options_.clients, options_.other_ca_server); !s.ok()) {
    return s;
  }
  if (options_.password_listener) {
    const std::string file = dir_ + "/passwd";
    WriteAll(file, "");
    for (const std::string& user : options_.clients) {
      if (Status s = RunTool({kMosquittoPasswd, "-b", file, user, password(user)}, tools_log,
                            kBrokerPatience);
          !s.ok()) {
        return s;
      }
    }
  }
  return Status::Ok();
}

Status TestBroker::WriteConfig() const {
  // The shipped example first, its places filled in: the TLS listener.
  const std::string example = std::string(FISKAL_EXAMPLES) + "/broker/mosquitto.conf";
  std::string shipped = ReadFrom(example);
  if (shipped.empty()) return Status::Error(example + ": cannot read it");
  // The server's certificate from the chain's CA, or from the other one.
  const std::string server = dir_ + (options_.other_ca_server ? "/other/broker" : "/broker");
  for (const auto& [place, value] : std::vector<std::pair<std::string, std::string>>{
           {"@TLS_PORT@", std::to_string(tls_port_)},
           {"@IP@", "127.0.0.1"},
           {"@CAFILE@", ca_file()},
           {"@CERTFILE@", server + ".pem"},
           {"@KEYFILE@", server + ".key"},
           {"@ACLFILE@", AclFile()}}) {
    shipped = ReplaceAll(shipped, place, value);
  }
  std::ostringstream c;
  c << "# One test's broker, written by testing/mosquitto.cc from " << example << ".\n"
    << shipped
    << "\n# The test's own settings and listeners.\n"
    << "persistence_location " << dir_ << "/\n"
    // Saved at every change: a Kill() loses next to nothing.
    << "autosave_on_changes true\n"
    << "autosave_interval 1\n"
    << "log_dest stderr\n"
    << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
    << "log_type subscribe\nlog_type unsubscribe\n";
  // Run as root, mosquitto takes on the user "mosquitto", who cannot read
  // this folder.
  if (::geteuid() == 0) c << "user root\n";
  for (const std::string& line : options_.extra_config) c << line << "\n";
  c << "\nlistener " << port_ << " 127.0.0.1\n"
    << "allow_anonymous true\n";
  if (options_.password_listener) {
    c << "\nlistener " << password_port_ << " 127.0.0.1\n"
      << "allow_anonymous false\n"
      << "password_file " << dir_ << "/passwd\n"
      << "acl_file " << AclFile() << "\n";
  }
  WriteAll(dir_ + "/mosquitto.conf", c.str());
  return Status::Ok();
}

Status TestBroker::Launch() {
  if (Status s = WriteConfig(); !s.ok()) return s;
  const std::string log_path = dir_ + "/mosquitto.log";
  const std::size_t offset = ReadFrom(log_path).size();
  pid_ = SpawnLogged({kMosquitto, "-c", dir_ + "/mosquitto.conf"}, log_path);
  if (pid_ < 0) return Status::FromErrno("fork", errno);
  // It logs "mosquitto version ... running" once its listeners are open.
  const double deadline = MonotonicNow() + kBrokerPatience;
  for (;;) {
    const std::string log = ReadFrom(log_path, offset);
    if (log.find(" running") != std::string::npos) return Status::Ok();
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return Status::Error("mosquitto ended (status " + std::to_string(status) + "): " +
                           ReadFrom(log_path, offset));
    }
    if (MonotonicNow() > deadline) {
      Kill();
      return Status::Error("mosquitto did not start within " +
                           std::to_string(static_cast<int>(kBrokerPatience)) +
                           " s: " + ReadFrom(log_path, offset));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Status TestBroker::Stop() {
  if (pid_ <= 0) return Status::Ok();
  ::kill(pid_, SIGTERM);
  if (!WaitExit(pid_, kBrokerPatience)) {
    Kill();
    return Status::Error("mosquitto did not end on SIGTERM within " +
                         std::to_string(static_cast<int>(kBrokerPatience)) + " s");
  }
  pid_ = -1;
  return Status::Ok();
}

void TestBroker::Kill() {
  if (pid_ <= 0) return;
  KillChild(pid_);
  pid_ = -1;
}

Status TestBroker::Restart() {
  if (Status s = Stop(); !s.ok()) return s;
  return Launch().Context("test broker restarted");
}

MqttConnect TestBroker::As(const std::string& /*user*/, const std::string& client_id) const {
  // The plain listener takes anyone, as anyone.
  MqttConnect how;
  how.url = url();
  how.client_id = client_id;
  return how;
}

std::vector<std::string> TestBroker::FiskaldOptions(const std::string& shop,
                                                    const std::string& /*user*/) const {
  return {"--broker", url(), "--shop", shop};
}

}  // namespace fiskal::testing
