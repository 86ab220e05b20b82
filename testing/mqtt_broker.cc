// What the launchers of the test brokers share (see mqtt_broker.h): free
// ports, the certificates, filling in a shipped configuration.
#include "testing/mqtt_broker.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace fiskal::testing {

// `text` with every `from` replaced by `to`.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
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

namespace {

constexpr const char* kOpenssl = "openssl";

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

}  // namespace

// In `dir`: a CA ("ca") and a server certificate from it for localhost
// and 127.0.0.1 ("server"); with `other_ca`, an unrelated CA ("other-ca")
// and a server certificate of its own ("other-server"); a client
// certificate from "ca" for each of `clients` ("client-NAME", its CN the
// name). PEM, .pem and .key.
Status MakeCertificates(const std::string& dir, const std::vector<std::string>& clients,
                        bool other_ca) {
  const std::string config = dir + "/openssl.cnf";
  const std::string tools_log = dir + "/tools.log";
  WriteAll(config, kOpensslConfig);
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
    return RunTool(argv, tools_log, kBrokerPatience);
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
    return RunTool(argv, tools_log, kBrokerPatience);
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

}  // namespace fiskal::testing
