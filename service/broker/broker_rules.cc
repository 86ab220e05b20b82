#include "service/broker/broker_rules.h"

#include <cstdlib>

namespace fiskal::service {

std::string ReceiptsTopic(const std::string& shop) { return "fiskal/" + shop + "/receipts"; }
std::string StatesTopic(const std::string& shop) { return "fiskal/" + shop + "/states"; }
std::string StatusTopic(const std::string& shop) { return "fiskal/" + shop + "/status"; }

bool ValidShop(const std::string& shop) {
  if (shop.empty() || shop.size() > 64) return false;
  for (char c : shop) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

Status BrokerAddress(const std::string& url, std::string* address) {
  std::string rest;
  std::string scheme;
  int port = 0;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
    scheme = "tcp://";
    port = 1883;
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    scheme = "ssl://";
    port = 8883;
  } else {
    return Status::Error("--broker " + url + ": give mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
  }
  std::string host = rest;
  std::string port_text;
  bool has_port = false;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) return Status::Error("--broker " + url + ": no ] after [");
    host = rest.substr(0, close + 1);
    const std::string after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return Status::Error("--broker " + url + ": only :PORT may follow ]");
      port_text = after.substr(1);
      has_port = true;
    }
  } else if (const std::size_t colon = rest.find(':'); colon != std::string::npos) {
    host = rest.substr(0, colon);
    port_text = rest.substr(colon + 1);
    has_port = true;
  }
  if (host.empty() || host.find_first_of("/?#@ ") != std::string::npos) {
    return Status::Error("--broker " + url + ": give a host name or address, without a path, "
                         "user or query");
  }
  if (has_port) {
    char* end = nullptr;
    const long value = std::strtol(port_text.c_str(), &end, 10);
    if (port_text.empty() || *end != '\0' || value < 1 || value > 65535 || port_text[0] == '+') {
      return Status::Error("--broker " + url + ": the port must be 1 to 65535");
    }
    port = static_cast<int>(value);
  }
  *address = scheme + host + ":" + std::to_string(port);
  return Status::Ok();
}

}  // namespace fiskal::service
