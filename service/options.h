// fiskald's command line, and the ports it makes of it and the
// environment.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "service/os/log_file.h"

namespace fiskal::service {

// Where the service listens, as the command line gave it.
struct ListenAddress {
  std::string host;  // an address: "127.0.0.1", "::1", "0.0.0.0", ...
  int port = 0;      // the port bound (the system's choice for 0)

  // "127.0.0.1:8470", "[::1]:8470": how a URL names it.
  std::string Authority() const;
  // Loopback: 127.0.0.0/8 or ::1.
  bool IsLoopback() const;
  // Every address of the machine: 0.0.0.0 or ::.
  bool IsWildcard() const;
};

// Parses "ADDR:PORT" ("[::1]:8470" for IPv6; "localhost" means 127.0.0.1).
// Returns false when it is not such an address.
bool ParseListenAddress(std::string_view text, ListenAddress* address);

// A DNS name for --server-name: letters, digits, '-' and '.', labels of 1
// to 63, 253 in all, not an address literal. Lower-cased into *name.
bool ParseServerName(std::string_view text, std::string* name);

// An origin --allow-origin takes: scheme://host[:port], nothing after it,
// no wildcard ("null", the origin of a file or a sandboxed frame, is none).
bool IsAllowableOrigin(std::string_view text);

// What fiskald is asked to do with the Windows service manager.
enum class ServiceAction {
  kNone,       // serve as a program of its own
  kInstall,    // --install-service: register the service with the other options
  kUninstall,  // --uninstall-service
  kRun,        // --as-service: started by the service manager
};

struct Options {
  ListenAddress listen{"127.0.0.1", 8470};
  std::string journal;  // empty: the system's default (DefaultJournal, system.h)
  std::string token_file;  // empty: no token
  std::vector<std::string> allowed_origins;
  std::vector<std::string> server_names;  // lower case
  std::map<int, std::string> ports;       // --port N=DEVICE
  std::string tls_cert;                   // both or neither
  std::string tls_key;
  int keep_days = 30;
  // How long a receipt waits for a port that cannot be opened; 0: not at all.
  int hold_minutes = 15;
  // The broker (empty url: none); the password is read from its file.
  std::string broker_url;
  std::string shop;
  std::string broker_ca;
  std::string broker_cert;
  std::string broker_key;
  std::string broker_user;
  std::string broker_password_file;
  int broker_session_days = 7;
  // Where messages go to a file (the Windows service's fiskald.log): the
  // size past which it rotates (service/os/log_file.h).
  std::uint64_t log_limit = kDefaultLogLimit;
  ServiceAction service = ServiceAction::kNone;
  // The arguments without --install-service: what the service starts with.
  std::vector<std::string> service_arguments;
  bool help = false;
  bool version = false;
};

extern const char* const kUsage;

// Reads the arguments (without the program name). Refuses an unknown or
// malformed argument, a listen address other than loopback without a
// token file, and one of --tls-cert and --tls-key without the other.
Status ParseOptions(const std::vector<std::string>& args, Options* options);

// The ports fiskald prints on, 1 to 9, and their devices: port n when
// --port n=DEVICE gives it, else when the environment's FISKAL_COM<n> is
// set and not empty; no other (port 0, log-only, is always there).
// `getenv` is the environment's lookup.
std::map<int, std::string> ConfiguredPorts(
    const Options& options, const std::function<const char*(const char*)>& getenv);
// The ports as the start line names them: "port 1 /dev/ttyUSB0, port 0
// log-only", or, with none configured, how to configure one.
std::string DescribePorts(const std::map<int, std::string>& ports);

// The first line of a file of secrets (`what` names it in messages).
// Refuses a file that others may read.
Status ReadSecretLine(const std::string& path, const std::string& what, std::string* line);

// The token in the file: its first line, which must be at least 16
// visible ASCII characters. Refuses a file that others may read.
Status ReadToken(const std::string& path, std::string* token);

}  // namespace fiskal::service
