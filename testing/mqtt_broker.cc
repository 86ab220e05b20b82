// What the launchers of the test brokers share (see mqtt_broker.h): free
// ports, the certificates (made by the shipped make-certs.sh), filling in a
// shipped configuration.
#include "testing/mqtt_broker.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/process.h"

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

// The script a chain makes its certificates with, as the guide shows it.
std::string MakeCertsScript() {
  return std::string(FISKAL_EXAMPLES) + "/certificates/make-certs.sh";
}

}  // namespace

// examples/certificates/make-certs.sh in `dir`: the chain's CA, the
// broker's certificate for localhost and 127.0.0.1, the clients'; with
// `other_ca`, the same CA and broker files of an unrelated CA in
// dir/other.
Status MakeCertificates(const std::string& dir, const std::vector<std::string>& clients,
                        bool other_ca) {
  const std::string tools_log = dir + "/tools.log";
  auto make = [&](const std::string& folder, std::vector<std::string> args) {
    args.insert(args.begin(), {"sh", MakeCertsScript(), "-d", folder});
    return RunTool(args, tools_log, kBrokerPatience);
  };
  if (Status s = make(dir, {"ca", "fiskal test CA"}); !s.ok()) return s;
  if (Status s = make(dir, {"broker", "localhost", "127.0.0.1"}); !s.ok()) return s;
  if (!clients.empty()) {
    std::vector<std::string> args = {"client"};
    args.insert(args.end(), clients.begin(), clients.end());
    if (Status s = make(dir, args); !s.ok()) return s;
  }
  if (other_ca) {
    if (Status s = make(dir + "/other", {"ca", "unrelated test CA"}); !s.ok()) return s;
    if (Status s = make(dir + "/other", {"broker", "localhost", "127.0.0.1"}); !s.ok()) return s;
  }
  return Status::Ok();
}

}  // namespace fiskal::testing
