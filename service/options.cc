#include "service/options.h"

#include <cerrno>
#include <charconv>

#include "line/serial_port.h"
#include "service/broker/broker_rules.h"
#include "service/http/authority.h"
#include "service/os/private_file.h"

namespace fiskal::service {

const char* const kUsage =
    "usage: fiskald [--listen ADDR:PORT] [--journal PATH] [--port N=DEVICE]...\n"
    "               [--token-file PATH] [--allow-origin ORIGIN]...\n"
    "               [--tls-cert FILE --tls-key FILE] [--server-name NAME]...\n"
    "               [--keep-days N] [--hold-minutes N] [--log-limit SIZE]\n"
    "               [--broker URL --shop ID [--broker-ca FILE]\n"
    "                [--broker-cert FILE --broker-key FILE]\n"
    "                [--broker-user NAME --broker-password-file FILE]\n"
    "                [--broker-session-days N]]\n"
    "       fiskald --install-service [options] | --uninstall-service   (Windows)\n"
    "       fiskald --help | --version\n"
    "\n"
    "Takes receipts over HTTP, keeps them in a durable journal and prints each\n"
    "exactly once, through the same checked run as fiskal.\n"
    "\n"
    "  --listen ADDR:PORT     where to listen (default 127.0.0.1:8470; [::1]:8470\n"
    "                         for IPv6; port 0: any free port). An address other\n"
    "                         than loopback needs --token-file.\n"
    "  --journal PATH         the journal (default fiskald.db in the current folder;\n"
    "                         on Windows %ProgramData%\\fiskal\\fiskald.db)\n"
    "  --port N=DEVICE        print port N (1 to 9) on DEVICE, before FISKAL_COM<N>;\n"
    "                         repeatable. Only ports given so (or by FISKAL_COM<n>)\n"
    "                         are printed on, besides port 0 (log-only)\n"
    "  --token-file PATH      require Authorization: Bearer <token> with the\n"
    "                         token in this file (others may not read it: 0600/0640)\n"
    "  --allow-origin ORIGIN  let a web page from ORIGIN (exact, e.g.\n"
    "                         https://pos.example) call the API; repeatable\n"
    "  --tls-cert FILE        serve HTTPS with this certificate (PEM, with its chain)\n"
    "  --tls-key FILE         and its private key (PEM); both are read again when\n"
    "                         they change\n"
    "  --server-name NAME     a DNS name of this machine that requests may name in\n"
    "                         Host (a certificate's name); repeatable\n"
    "  --keep-days N          keep finished receipts and their keys N days (30)\n"
    "  --hold-minutes N       hold a receipt whose port cannot be opened (or another\n"
    "                         run holds) queued up to N minutes, trying it again,\n"
    "                         then end it not_sent (0 to 1440, default 15; 0: at once)\n"
    "  --log-limit SIZE       (Windows service) fiskald.log becomes fiskald.log.1 before\n"
    "                         it would pass SIZE bytes (K, M: KiB, MiB; 64K to 1024M,\n"
    "                         default 10M); 3 old files are kept\n"
    "  --broker URL           also take receipts from an MQTT 5 broker:\n"
    "                         mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)\n"
    "  --shop ID              this shop's id in the broker's topics fiskal/ID/...\n"
    "                         (1 to 64 of A-Z a-z 0-9 . _ -); needed with --broker\n"
    "  --broker-ca FILE       CA certificates for mqtts (default: the system's;\n"
    "                         Windows: required)\n"
    "  --broker-cert FILE     a client certificate for mqtts (PEM), with\n"
    "  --broker-key FILE      its private key (PEM)\n"
    "  --broker-user NAME     a user name for the broker, with\n"
    "  --broker-password-file FILE  the password: the file's first line (0600/0640)\n"
    "  --broker-session-days N  how long the broker keeps receipts for this shop\n"
    "                         while fiskald is away (1 to 30, default 7)\n"
    "  --install-service      (Windows) register the service fiskald, started with\n"
    "                         Windows as LocalSystem with the other options given;\n"
    "                         again: its options are replaced\n"
    "  --uninstall-service    (Windows) stop the service (it drains) and remove it\n"
    "\n"
    "Port n prints on the device of --port n=DEVICE or FISKAL_COM<n>; a receipt for\n"
    "a port given neither way is refused.\n"
    "SIGTERM, SIGINT or SIGHUP: finish the receipt being sent on each port, keep\n"
    "queued ones for the next start, exit 0; a second signal stops after the text\n"
    "being sent. Exit status: 0 stopped cleanly; 1 bad arguments or the service could\n"
    "not start.\n";

namespace {

// A whole number of bytes, or of KiB or MiB with K or M after it, within
// the log's bounds.
bool ParseLogLimit(std::string_view text, std::uint64_t* bytes) {
  std::uint64_t unit = 1;
  if (!text.empty() && (text.back() == 'K' || text.back() == 'k')) unit = std::uint64_t{1} << 10;
  if (!text.empty() && (text.back() == 'M' || text.back() == 'm')) unit = std::uint64_t{1} << 20;
  if (unit != 1) text.remove_suffix(1);
  std::uint64_t n = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
      n > kMaxLogLimit || n * unit < kMinLogLimit || n * unit > kMaxLogLimit) {
    return false;
  }
  *bytes = n * unit;
  return true;
}

}  // namespace

Status ParseOptions(const std::vector<std::string>& args, Options* options) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "--version") {
      (arg == "--help" ? o.help : o.version) = true;
      continue;
    }
    if (arg == "--install-service" || arg == "--uninstall-service" || arg == "--as-service") {
      const ServiceAction action = arg == "--install-service"     ? ServiceAction::kInstall
                                   : arg == "--uninstall-service" ? ServiceAction::kUninstall
                                                                  : ServiceAction::kRun;
      if (o.service != ServiceAction::kNone && o.service != action) {
        return Status::Error(arg + ": only one of --install-service, --uninstall-service and "
                             "--as-service");
      }
      o.service = action;
      continue;
    }
    const bool takes_value = arg == "--listen" || arg == "--journal" ||
                             arg == "--token-file" || arg == "--allow-origin" ||
                             arg == "--keep-days" || arg == "--hold-minutes" ||
                             arg == "--log-limit" ||
                             arg == "--port" || arg == "--tls-cert" ||
                             arg == "--tls-key" || arg == "--server-name" ||
                             arg.rfind("--broker", 0) == 0 || arg == "--shop";
    if (!takes_value) return Status::Error("unexpected argument '" + arg + "'");
    if (i + 1 >= args.size()) return Status::Error(arg + " needs a value");
    const std::string& value = args[++i];
    if (arg == "--listen") {
      if (!ParseListenAddress(value, &o.listen)) {
        return Status::Error("--listen " + value +
                             ": not an address and port such as 127.0.0.1:8470 or [::1]:8470");
      }
    } else if (arg == "--journal") {
      if (value.empty()) return Status::Error("--journal needs a path");
      o.journal = value;
    } else if (arg == "--token-file") {
      o.token_file = value;
    } else if (arg == "--port") {
      const std::size_t eq = value.find('=');
      const bool digit = eq == 1 && value[0] >= '1' && value[0] <= '9';
      if (!digit || value.size() == 2) {
        return Status::Error("--port " + value +
                             ": not a port and its device such as 1=/dev/ttyUSB0 (ports 1 to 9)");
      }
      if (!o.ports.emplace(value[0] - '0', value.substr(2)).second) {
        return Status::Error("--port " + value + ": port " + value.substr(0, 1) +
                             " is given twice");
      }
    } else if (arg == "--tls-cert" || arg == "--tls-key") {
      if (value.empty()) return Status::Error(arg + " needs a file");
      (arg == "--tls-cert" ? o.tls_cert : o.tls_key) = value;
    } else if (arg == "--server-name") {
      std::string name;
      if (!ParseServerName(value, &name)) {
        return Status::Error("--server-name " + value +
                             ": not a DNS name such as printer.shop.example");
      }
      o.server_names.push_back(name);
    } else if (arg == "--broker") {
      std::string address;
      if (Status s = BrokerAddress(value, &address); !s.ok()) return s;
      o.broker_url = value;
    } else if (arg == "--shop") {
      if (!ValidShop(value)) {
        return Status::Error("--shop " + value + ": 1 to 64 of A-Z a-z 0-9 . _ -");
      }
      o.shop = value;
    } else if (arg == "--broker-ca" || arg == "--broker-cert" || arg == "--broker-key" ||
               arg == "--broker-user" || arg == "--broker-password-file") {
      if (value.empty()) return Status::Error(arg + " needs a value");
      std::string* field = arg == "--broker-ca"     ? &o.broker_ca
                           : arg == "--broker-cert" ? &o.broker_cert
                           : arg == "--broker-key"  ? &o.broker_key
                           : arg == "--broker-user" ? &o.broker_user
                                                    : &o.broker_password_file;
      *field = value;
    } else if (arg == "--hold-minutes") {
      int minutes = 0;
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), minutes);
      if (error != std::errc() || end != value.data() + value.size() || minutes < 0 ||
          minutes > 1440) {
        return Status::Error("--hold-minutes " + value +
                             ": a whole number of minutes from 0 to 1440 (a day)");
      }
      o.hold_minutes = minutes;
    } else if (arg == "--log-limit") {
      if (!ParseLogLimit(value, &o.log_limit)) {
        return Status::Error("--log-limit " + value +
                             ": a size from 64K to 1024M, in bytes or with K or M (KiB, MiB) "
                             "after the number, such as 10M");
      }
    } else if (arg == "--broker-session-days") {
      int days = 0;
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), days);
      if (error != std::errc() || end != value.data() + value.size() || days < 1 || days > 30) {
        return Status::Error("--broker-session-days " + value + ": a whole number from 1 to 30");
      }
      o.broker_session_days = days;
    } else if (arg.rfind("--broker", 0) == 0) {
      return Status::Error("unexpected argument '" + arg + "'");
    } else if (arg == "--allow-origin") {
      if (!IsAllowableOrigin(value)) {
        return Status::Error("--allow-origin " + value +
                             ": not an origin such as https://pos.example or "
                             "http://192.168.1.20:8080 (no path, no wildcard)");
      }
      o.allowed_origins.push_back(value);
    } else {
      int days = 0;
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), days);
      if (error != std::errc() || end != value.data() + value.size() || days < 1 ||
          days > 36500) {
        return Status::Error("--keep-days " + value + ": a whole number of days from 1");
      }
      o.keep_days = days;
    }
  }
  if (o.tls_cert.empty() != o.tls_key.empty()) {
    return Status::Error(std::string(o.tls_cert.empty() ? "--tls-key" : "--tls-cert") +
                         " needs " + (o.tls_cert.empty() ? "--tls-cert" : "--tls-key") +
                         " too: HTTPS needs the certificate and its key");
  }
  if (o.broker_cert.empty() != o.broker_key.empty()) {
    return Status::Error(std::string(o.broker_cert.empty() ? "--broker-key" : "--broker-cert") +
                         " needs " + (o.broker_cert.empty() ? "--broker-cert" : "--broker-key") +
                         " too: a client certificate needs its key");
  }
  if (o.broker_user.empty() != o.broker_password_file.empty()) {
    return Status::Error(std::string(o.broker_user.empty() ? "--broker-password-file"
                                                           : "--broker-user") +
                         " needs " +
                         (o.broker_user.empty() ? "--broker-user" : "--broker-password-file") +
                         " too");
  }
  const bool broker_given = !o.broker_ca.empty() || !o.broker_cert.empty() ||
                            !o.broker_user.empty() || !o.shop.empty();
  if (o.broker_url.empty() && broker_given) {
    return Status::Error("--shop and the --broker-... options need --broker URL");
  }
  if (!o.broker_url.empty() && o.shop.empty()) {
    return Status::Error("--broker needs --shop ID: the shop's id in the broker's topics");
  }
  if ((!o.broker_ca.empty() || !o.broker_cert.empty()) && o.broker_url.rfind("mqtts://", 0) != 0) {
    return Status::Error("--broker-ca and --broker-cert are for mqtts:// brokers; --broker " +
                         o.broker_url + " is not encrypted");
  }
#ifdef _WIN32
  // OpenSSL on Windows has no list of the system's CAs (it reads no
  // certificate store of Windows'): an mqtts:// broker's are named.
  if (o.broker_url.rfind("mqtts://", 0) == 0 && o.broker_ca.empty()) {
    return Status::Error("--broker " + o.broker_url +
                         " needs --broker-ca FILE on Windows: the CA certificates (PEM) that "
                         "signed the broker's certificate; this fiskald reads no certificate "
                         "store of Windows'");
  }
#endif
  if (o.service == ServiceAction::kUninstall && args.size() != 1) {
    return Status::Error("--uninstall-service takes no other argument");
  }
  if (o.service == ServiceAction::kInstall && (o.help || o.version)) {
    return Status::Error("--install-service: the service cannot be started with --help or "
                         "--version");
  }
  if (o.service == ServiceAction::kInstall) {
    for (const std::string& arg : args) {
      if (arg != "--install-service") o.service_arguments.push_back(arg);
    }
  }
  if (!o.help && !o.version && !o.listen.IsLoopback() && o.token_file.empty()) {
    return Status::Error("--listen " + o.listen.Authority() +
                         " is reachable from other machines; give --token-file too, so that "
                         "only holders of the token can print");
  }
  *options = o;
  return Status::Ok();
}

std::map<int, std::string> ConfiguredPorts(
    const Options& options, const std::function<const char*(const char*)>& getenv) {
  std::map<int, std::string> ports;
  for (int n = 1; n <= 9; ++n) {
    if (auto given = options.ports.find(n); given != options.ports.end()) {
      ports[n] = given->second;
      continue;
    }
    const char* value = getenv(PortVariable(static_cast<std::uint8_t>(n)).c_str());
    if (value != nullptr && value[0] != '\0') ports[n] = value;
  }
  return ports;
}

std::string DescribePorts(const std::map<int, std::string>& ports) {
  std::string text;
  for (const auto& [n, device] : ports) text += "port " + std::to_string(n) + " " + device + ", ";
  if (ports.empty()) {
    return "port 0 log-only, no serial port (give --port N=DEVICE or set FISKAL_COM1..9)";
  }
  return text + "port 0 log-only";
}

Status ReadSecretLine(const std::string& path, const std::string& what, std::string* line) {
  std::string text;
  if (Status s = ReadPrivateFile(path, what, 4096, &text); !s.ok()) return s;
  *line = text.substr(0, text.find_first_of("\r\n"));
  return Status::Ok();
}

Status ReadToken(const std::string& path, std::string* token) {
  std::string text;
  if (Status s = ReadSecretLine(path, "token file", &text); !s.ok()) return s;
  bool visible = !text.empty();
  for (char c : text) visible = visible && c > 0x20 && c < 0x7F;
  if (!visible || text.size() < 16) {
    return Status::Error("token file " + path +
                         ": its first line must be the token, at least 16 visible ASCII "
                         "characters (e.g. from: openssl rand -hex 32)");
  }
  *token = text;
  return Status::Ok();
}

std::string ListenAddress::Authority() const {
  return (http::IsIpv6(host) ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ListenAddress::IsLoopback() const { return http::IsLoopbackAddress(host); }

bool ListenAddress::IsWildcard() const { return host == "0.0.0.0" || host == "::"; }

bool ParseServerName(std::string_view text, std::string* name) {
  if (text.empty() || text.size() > 253 || http::IsAddressLiteral(std::string(text))) return false;
  std::size_t label = 0;
  for (char c : text) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-';
    if (!ok || ++label > 63) return false;
  }
  if (label == 0) return false;
  *name = http::LowerCase(text);
  return true;
}

bool IsAllowableOrigin(std::string_view text) {
  const std::size_t scheme = text.find("://");
  return scheme != std::string_view::npos && scheme != 0 &&
         text.find('/', scheme + 3) == std::string_view::npos && text.size() != scheme + 3 &&
         text.find('*') == std::string_view::npos;
}

bool ParseListenAddress(std::string_view text, ListenAddress* address) {
  ListenAddress parsed;
  if (!http::SplitAuthority(text, &parsed.host, &parsed.port)) return false;
  if (parsed.host == "localhost") parsed.host = "127.0.0.1";
  if (!http::IsAddressLiteral(parsed.host)) return false;
  *address = parsed;
  return true;
}

}  // namespace fiskal::service
