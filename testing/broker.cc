#include "testing/broker.h"

#include <MQTTClient.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "testing/now.h"

namespace fiskal::testing {

namespace {

constexpr const char* kMosquitto = "/usr/sbin/mosquitto";
constexpr const char* kMosquittoPasswd = "/usr/bin/mosquitto_passwd";
constexpr const char* kOpenssl = "openssl";

void Nap() {
  timespec d{0, 10'000'000L};
  nanosleep(&d, nullptr);
}

std::string ReadFrom(const std::string& path, std::size_t offset = 0) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  std::string all = out.str();
  return offset < all.size() ? all.substr(offset) : std::string();
}

void Write(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path);
}

// `text` with every `from` replaced by `to`.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Starts argv (argv[0] searched in PATH) with standard input from
// /dev/null and standard output and error appended to `log`, in our
// environment with `env` ("NAME=value") put over it. The child holds no
// descriptor of ours, and is killed when the thread that started it ends,
// so it never outlives the test.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& log,
            const std::vector<std::string>& env = {}) {
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

// Waits for `pid` to end, at most `seconds`; its status when it has.
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
      Nap();
    }
  }
  if (fd >= 0) ::close(fd);
  return status;
}

// Runs a tool to its end; the error carries what it wrote.
Status Run(const std::vector<std::string>& argv, const std::string& log) {
  const std::size_t before = ReadFrom(log).size();
  const pid_t pid = Spawn(argv, log);
  if (pid < 0) return Status::FromErrno("fork", errno);
  const std::optional<int> status = WaitExit(pid, kBrokerPatience);
  if (!status) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return Status::Error(argv[0] + ": did not end within " +
                         std::to_string(static_cast<int>(kBrokerPatience)) + " s");
  }
  if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    std::string command;
    for (const std::string& a : argv) command += (command.empty() ? "" : " ") + a;
    return Status::Error(command + ": failed (status " + std::to_string(*status) +
                         "): " + ReadFrom(log, before));
  }
  return Status::Ok();
}

// `count` distinct ports free on 127.0.0.1 now.
std::vector<int> FreePorts(int count) {
  std::vector<int> fds;
  std::vector<int> ports;
  for (int i = 0; i < count; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) break;
    fds.push_back(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      break;
    }
    ports.push_back(ntohs(address.sin_port));
  }
  for (int fd : fds) ::close(fd);
  if (static_cast<int>(ports.size()) != count) {
    throw std::runtime_error("no free port on 127.0.0.1: " + ErrnoText(errno));
  }
  return ports;
}

// The openssl configuration of the certificates: a CA, a server for
// localhost and 127.0.0.1, a client.
constexpr const char* kOpensslConfig = R"([req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
authorityKeyIdentifier = keyid
[client]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = clientAuth
authorityKeyIdentifier = keyid
)";


// In `dir`: a CA ("ca") and a server certificate from it for localhost
// and 127.0.0.1 ("server"); with `other_ca`, an unrelated CA ("other-ca")
// and a server certificate of its own ("other-server"); a client
// certificate from "ca" for each of `clients` ("client-NAME", its CN the
// name). PEM, .pem and .key.
Status MakeCertificates(const std::string& dir, const std::vector<std::string>& clients,
                        bool other_ca) {
  const std::string config = dir + "/openssl.cnf";
  const std::string tools_log = dir + "/tools.log";
  Write(config, kOpensslConfig);
  // EC keys: quick to make even on a busy machine.
  const std::vector<std::string> new_key = {"-newkey", "ec", "-pkeyopt",
                                            "ec_paramgen_curve:prime256v1", "-nodes"};
  auto make_ca = [&](const std::string& name, const std::string& cn) {
    std::vector<std::string> argv = {kOpenssl, "req", "-config", config, "-x509", "-days", "30",
                                     "-extensions", "ca", "-subj", "/CN=" + cn};
    argv.insert(argv.end(), new_key.begin(), new_key.end());
    const std::string files = dir + "/" + name;
    for (const std::string& a :
         {std::string("-keyout"), files + ".key", std::string("-out"), files + ".pem"}) {
      argv.push_back(a);
    }
    return Run(argv, tools_log);
  };
  int serial = 1;
  auto make_leaf = [&](const std::string& ca, const std::string& name, const std::string& cn,
                       const std::string& kind) {
    std::vector<std::string> argv = {
        kOpenssl, "req", "-config", config, "-x509", "-CA", dir + "/" + ca + ".pem", "-CAkey",
        dir + "/" + ca + ".key", "-set_serial", std::to_string(++serial), "-days", "30",
        "-extensions", kind, "-subj", "/CN=" + cn, "-keyout", dir + "/" + name + ".key", "-out",
        dir + "/" + name + ".pem"};
    argv.insert(argv.end(), new_key.begin(), new_key.end());
    return Run(argv, tools_log);
  };
  if (Status s = make_ca("ca", "fiskal test CA"); !s.ok()) return s;
  if (Status s = make_leaf("ca", "server", "localhost", "server"); !s.ok()) return s;
  if (other_ca) {
    if (Status s = make_ca("other-ca", "unrelated test CA"); !s.ok()) return s;
    if (Status s = make_leaf("other-ca", "other-server", "localhost", "server"); !s.ok()) {
      return s;
    }
  }
  for (const std::string& client : clients) {
    if (Status s = make_leaf("ca", "client-" + client, client, "client"); !s.ok()) return s;
  }
  return Status::Ok();
}

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
std::string TestBroker::ca_file() const { return dir_ + "/ca.pem"; }
std::string TestBroker::cert_file(const std::string& name) const {
  return dir_ + "/client-" + name + ".pem";
}
std::string TestBroker::key_file(const std::string& name) const {
  return dir_ + "/client-" + name + ".key";
}
std::string TestBroker::log() const { return ReadFrom(dir_ + "/mosquitto.log"); }

Status TestBroker::MakeFiles() {
  const std::string tools_log = dir_ + "/tools.log";
  if (Status s = MakeCertificates(dir_, options_.clients, /*other_ca=*/true); !s.ok()) return s;
  // The access list a chain is shown in examples/broker.
  const std::string acl = std::string(FISKAL_EXAMPLES) + "/broker/fiskal.acl";
  const std::string rules = ReadFrom(acl);
  if (rules.empty()) return Status::Error(acl + ": cannot read it");
  Write(dir_ + "/acl", rules);
  if (options_.password_listener) {
    const std::string file = dir_ + "/passwd";
    Write(file, "");
    for (const std::string& user : options_.clients) {
      if (Status s = Run({kMosquittoPasswd, "-b", file, user, password(user)}, tools_log);
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
  const std::string server = options_.other_ca_server ? "other-server" : "server";
  for (const auto& [place, value] : std::vector<std::pair<std::string, std::string>>{
           {"@TLS_PORT@", std::to_string(tls_port_)},
           {"@IP@", "127.0.0.1"},
           {"@CAFILE@", ca_file()},
           {"@CERTFILE@", dir_ + "/" + server + ".pem"},
           {"@KEYFILE@", dir_ + "/" + server + ".key"},
           {"@ACLFILE@", dir_ + "/acl"}}) {
    shipped = ReplaceAll(shipped, place, value);
  }
  std::ostringstream c;
  c << "# One test's broker, written by testing/broker.cc from " << example << ".\n"
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
      << "acl_file " << dir_ << "/acl\n";
  }
  Write(dir_ + "/mosquitto.conf", c.str());
  return Status::Ok();
}

Status TestBroker::Launch() {
  if (Status s = WriteConfig(); !s.ok()) return s;
  const std::string log_path = dir_ + "/mosquitto.log";
  const std::size_t offset = ReadFrom(log_path).size();
  pid_ = Spawn({kMosquitto, "-c", dir_ + "/mosquitto.conf"}, log_path);
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
    Nap();
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
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
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

// --- TestEjabberd ---

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
std::string TestEjabberd::ca_file() const { return dir_ + "/ca.pem"; }
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
  Write(dir_ + "/server-chain.pem", ReadFrom(dir_ + "/server.pem") + ReadFrom(dir_ + "/ca.pem"));
  for (const std::string& user : options_.users) {
    const std::string file = password_file(user);
    Write(file, password(user) + "\n");
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
           {"@CERTFILE@", dir_ + "/server-chain.pem"},
           {"@KEYFILE@", dir_ + "/server.key"}}) {
    config = ReplaceAll(config, place, value);
  }
  Write(dir_ + "/ejabberd.yml", config);

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
  pid_ = Spawn(argv, log_path, env);
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
    Nap();
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
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

Status TestEjabberd::Restart() {
  if (Status s = Stop(); !s.ok()) return s;
  return Launch().Context("test ejabberd restarted");
}

// --- MqttTestClient ---

struct PahoCallbacks {
  static int Message(void* context, char* topic, int topic_len, MQTTClient_message* m) {
    auto* self = static_cast<MqttTestClient*>(context);
    MqttMessage message;
    message.topic = topic_len > 0 ? std::string(topic, static_cast<std::size_t>(topic_len))
                                  : std::string(topic);
    message.payload.assign(static_cast<const char*>(m->payload),
                           static_cast<std::size_t>(m->payloadlen));
    message.qos = m->qos;
    message.retained = m->retained != 0;
    for (int i = 0; i < m->properties.count; ++i) {
      const MQTTProperty& p = m->properties.array[i];
      // The bytes of a string or binary property (the union holds a number
      // otherwise).
      auto bytes = [](const MQTTLenString& s) {
        return s.data == nullptr ? std::string()
                                 : std::string(s.data, static_cast<std::size_t>(s.len));
      };
      switch (p.identifier) {
        case MQTTPROPERTY_CODE_CONTENT_TYPE:
          message.content_type = bytes(p.value.data);
          break;
        case MQTTPROPERTY_CODE_CORRELATION_DATA:
          message.correlation_data = bytes(p.value.data);
          break;
        case MQTTPROPERTY_CODE_RESPONSE_TOPIC:
          message.response_topic = bytes(p.value.data);
          break;
        case MQTTPROPERTY_CODE_MESSAGE_EXPIRY_INTERVAL:
          message.message_expiry = p.value.integer4;
          break;
        case MQTTPROPERTY_CODE_USER_PROPERTY:
          message.user_properties.emplace_back(bytes(p.value.data), bytes(p.value.value));
          break;
        default:
          break;
      }
    }
    MQTTClient_freeMessage(&m);
    MQTTClient_free(topic);
    {
      const std::lock_guard lock(self->mutex_);
      self->received_.push_back(std::move(message));
    }
    self->changed_.notify_all();
    return 1;  // taken
  }

  static void Lost(void* context, char* cause) {
    auto* self = static_cast<MqttTestClient*>(context);
    {
      const std::lock_guard lock(self->mutex_);
      self->connected_ = false;
      self->lost_ = cause != nullptr ? cause : "connection lost";
    }
    self->changed_.notify_all();
  }

  static void Published(void* context, int token, int /*packet_type*/,
                        MQTTProperties* /*properties*/, enum MQTTReasonCodes reason_code) {
    auto* self = static_cast<MqttTestClient*>(context);
    {
      const std::lock_guard lock(self->mutex_);
      self->acknowledged_.emplace_back(token, static_cast<int>(reason_code));
    }
    self->changed_.notify_all();
  }

  static int TlsError(const char* text, std::size_t len, void* context) {
    auto* self = static_cast<MqttTestClient*>(context);
    const std::lock_guard lock(self->mutex_);
    std::string line(text, len);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    self->tls_errors_ += (self->tls_errors_.empty() ? "" : "; ") + line;
    return 0;
  }
};

namespace {

MQTTClient Handle(void* handle) { return static_cast<MQTTClient>(handle); }

// The reason code of an answer. Paho keeps its own negative error codes in
// the same field, whose enum type has no such values: read as a plain int,
// not as that enum.
int Code(const MQTTResponse& response) {
  static_assert(sizeof response.reasonCode == sizeof(int));
  int code = 0;
  std::memcpy(&code, &response.reasonCode, sizeof code);
  return code;
}

// Paho's error text, or the reason code's name.
std::string Explain(int code) {
  if (code < 0) return MQTTClient_strerror(code);
  const char* name = MQTTReasonCode_toString(static_cast<enum MQTTReasonCodes>(code));
  std::ostringstream text;
  text << "reason code 0x" << std::hex << code;
  if (name != nullptr) text << " (" << name << ")";
  return text.str();
}

void AddString(MQTTProperties* properties, enum MQTTPropertyCodes code, const std::string& data,
               const std::string* value = nullptr) {
  MQTTProperty p{};
  p.identifier = code;
  p.value.data.data = const_cast<char*>(data.data());
  p.value.data.len = static_cast<int>(data.size());
  if (value != nullptr) {
    p.value.value.data = const_cast<char*>(value->data());
    p.value.value.len = static_cast<int>(value->size());
  }
  MQTTProperties_add(properties, &p);  // copies the bytes
}

void AddNumber(MQTTProperties* properties, enum MQTTPropertyCodes code, std::uint32_t number) {
  MQTTProperty p{};
  p.identifier = code;
  p.value.integer4 = number;
  MQTTProperties_add(properties, &p);
}

}  // namespace

MqttTestClient::~MqttTestClient() { Disconnect(); }

void MqttTestClient::Destroy() {
  if (handle_ == nullptr) return;
  MQTTClient handle = Handle(handle_);
  // Without the lock: the callbacks take it, and destroying waits for them.
  MQTTClient_destroy(&handle);
  handle_ = nullptr;
  const std::lock_guard lock(mutex_);
  connected_ = false;
}

MqttAnswer MqttTestClient::Connect(const MqttConnect& how) {
  Disconnect();
  {
    const std::lock_guard lock(mutex_);
    lost_.clear();
    tls_errors_.clear();
    acknowledged_.clear();
  }
  std::string uri = how.url;
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"mqtt://", "tcp://"},
                                 std::pair<std::string, std::string>{"mqtts://", "ssl://"}}) {
    if (uri.rfind(from, 0) == 0) uri.replace(0, from.size(), to);
  }
  const bool tls = uri.rfind("ssl://", 0) == 0;

  MqttAnswer answer;
  MQTTClient handle = nullptr;
  MQTTClient_createOptions create = MQTTClient_createOptions_initializer;
  create.MQTTVersion = MQTTVERSION_5;
  int rc = MQTTClient_createWithOptions(&handle, uri.c_str(), how.client_id.c_str(),
                                        MQTTCLIENT_PERSISTENCE_NONE, nullptr, &create);
  if (rc != MQTTCLIENT_SUCCESS) {
    answer.error = how.url + ": " + Explain(rc);
    return answer;
  }
  handle_ = handle;
  MQTTClient_setCallbacks(handle, this, &PahoCallbacks::Lost, &PahoCallbacks::Message, nullptr);
  MQTTClient_setPublished(handle, this, &PahoCallbacks::Published);

  MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer5;
  options.cleanstart = how.clean_start ? 1 : 0;
  options.connectTimeout = static_cast<int>(kBrokerPatience);
  options.reliable = 0;
  if (!how.username.empty()) options.username = how.username.c_str();
  if (!how.password.empty()) options.password = how.password.c_str();
  MQTTClient_SSLOptions ssl = MQTTClient_SSLOptions_initializer;
  if (tls) {
    if (!how.ca_file.empty()) {
      ssl.trustStore = how.ca_file.c_str();
      ssl.disableDefaultTrustStore = 1;
    }
    if (!how.cert_file.empty()) ssl.keyStore = how.cert_file.c_str();
    if (!how.key_file.empty()) ssl.privateKey = how.key_file.c_str();
    ssl.enableServerCertAuth = 1;
    ssl.verify = 1;
    ssl.ssl_error_cb = &PahoCallbacks::TlsError;
    ssl.ssl_error_context = this;
    options.ssl = &ssl;
  }
  MQTTProperties properties = MQTTProperties_initializer;
  if (how.session_expiry > 0) {
    AddNumber(&properties, MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL, how.session_expiry);
  }
  MQTTResponse response = MQTTClient_connect5(handle, &options, &properties, nullptr);
  MQTTProperties_free(&properties);
  rc = Code(response);
  if (response.properties != nullptr &&
      MQTTProperties_hasProperty(response.properties,
                                 MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL) != 0) {
    answer.session_expiry = static_cast<std::uint32_t>(MQTTProperties_getNumericValue(
        response.properties, MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL));
  }
  MQTTResponse_free(response);
  answer.reason_code = rc;
  if (rc == MQTTREASONCODE_SUCCESS) {
    const std::lock_guard lock(mutex_);
    connected_ = true;
    return answer;
  }
  answer.reason_code = rc < 0 ? -1 : rc;
  {
    // OpenSSL's reasons say more than Paho's "Failure".
    const std::lock_guard lock(mutex_);
    answer.error = how.url + ": " + (tls_errors_.empty() ? Explain(rc) : "TLS: " + tls_errors_);
  }
  Destroy();
  return answer;
}

MqttAnswer MqttTestClient::Subscribe(const std::string& filter, int qos) {
  MqttAnswer answer;
  if (handle_ == nullptr) {
    answer.error = "not connected";
    return answer;
  }
  MQTTSubscribe_options options = MQTTSubscribe_options_initializer;
  MQTTResponse response =
      MQTTClient_subscribe5(Handle(handle_), filter.c_str(), qos, &options, nullptr);
  const int rc = Code(response);
  MQTTResponse_free(response);
  answer.reason_code = rc < 0 ? -1 : rc;
  if (rc < 0 || rc >= 0x80) answer.error = "subscribe " + filter + ": " + Explain(rc);
  return answer;
}

MqttAnswer MqttTestClient::Publish(const MqttMessage& message) {
  MqttAnswer answer;
  if (handle_ == nullptr) {
    answer.error = "not connected";
    return answer;
  }
  MQTTClient_message m = MQTTClient_message_initializer;
  m.payload = const_cast<char*>(message.payload.data());
  m.payloadlen = static_cast<int>(message.payload.size());
  m.qos = message.qos;
  m.retained = message.retained ? 1 : 0;
  if (message.content_type) {
    AddString(&m.properties, MQTTPROPERTY_CODE_CONTENT_TYPE, *message.content_type);
  }
  if (message.correlation_data) {
    AddString(&m.properties, MQTTPROPERTY_CODE_CORRELATION_DATA, *message.correlation_data);
  }
  if (message.response_topic) {
    AddString(&m.properties, MQTTPROPERTY_CODE_RESPONSE_TOPIC, *message.response_topic);
  }
  if (message.message_expiry) {
    AddNumber(&m.properties, MQTTPROPERTY_CODE_MESSAGE_EXPIRY_INTERVAL, *message.message_expiry);
  }
  for (const auto& [name, value] : message.user_properties) {
    AddString(&m.properties, MQTTPROPERTY_CODE_USER_PROPERTY, name, &value);
  }
  MQTTClient_deliveryToken token = 0;
  MQTTResponse response =
      MQTTClient_publishMessage5(Handle(handle_), message.topic.c_str(), &m, &token);
  MQTTProperties_free(&m.properties);
  const int rc = Code(response);
  MQTTResponse_free(response);
  if (rc != MQTTCLIENT_SUCCESS) {
    answer.error = "publish " + message.topic + ": " + Explain(rc);
    return answer;
  }
  if (message.qos == 0) {
    answer.reason_code = 0;
    return answer;
  }
  // The acknowledgement may have come before the token was handed back.
  std::unique_lock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(kBrokerPatience);
  for (;;) {
    for (auto it = acknowledged_.begin(); it != acknowledged_.end(); ++it) {
      if (it->first == token) {
        answer.reason_code = it->second;
        acknowledged_.erase(it);
        if (answer.reason_code >= 0x80) {
          answer.error = "publish " + message.topic + ": " + Explain(answer.reason_code);
        }
        return answer;
      }
    }
    if (!connected_) {
      answer.error = "publish " + message.topic + ": connection lost: " + lost_;
      return answer;
    }
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      answer.error = "publish " + message.topic + ": no acknowledgement in time";
      return answer;
    }
  }
}

MqttAnswer MqttTestClient::Publish(const std::string& topic, const std::string& payload, int qos,
                                   bool retained) {
  MqttMessage message;
  message.topic = topic;
  message.payload = payload;
  message.qos = qos;
  message.retained = retained;
  return Publish(message);
}

std::optional<MqttMessage> MqttTestClient::Next(double seconds) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                         [this] { return !received_.empty(); })) {
    return std::nullopt;
  }
  MqttMessage message = std::move(received_.front());
  received_.pop_front();
  return message;
}

void MqttTestClient::Disconnect() {
  if (handle_ == nullptr) return;
  if (connected()) {
    MQTTClient_disconnect5(Handle(handle_), 1000, MQTTREASONCODE_SUCCESS, nullptr);
  }
  Destroy();
}

bool MqttTestClient::connected() const {
  const std::lock_guard lock(mutex_);
  return connected_;
}

std::string MqttTestClient::lost() const {
  const std::lock_guard lock(mutex_);
  return lost_;
}

}  // namespace fiskal::testing
