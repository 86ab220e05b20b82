#include "service/http/authority.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <charconv>

namespace fiskal::service::http {

bool IsIpv6(std::string_view host) { return host.find(':') != std::string_view::npos; }

bool IsAddressLiteral(std::string_view host) {
  const std::string text(host);
  unsigned char buffer[16];
  return ::inet_pton(AF_INET, text.c_str(), buffer) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

bool SplitAuthority(std::string_view text, std::string* host, int* port, int default_port) {
  std::string_view port_text;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    *host = std::string(text.substr(1, close - 1));
    if (close + 1 == text.size() && default_port >= 0 && !host->empty()) {
      *port = default_port;
      return true;
    }
    if (close + 1 >= text.size() || text[close + 1] != ':') return false;
    port_text = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos && default_port >= 0 && !text.empty()) {
      *host = std::string(text);
      *port = default_port;
      return true;
    }
    if (colon == std::string_view::npos || IsIpv6(text.substr(0, colon))) return false;
    *host = std::string(text.substr(0, colon));
    port_text = text.substr(colon + 1);
  }
  if (host->empty() || port_text.empty() || port_text.size() > 5) return false;
  int value = 0;
  auto [end, error] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), value);
  if (error != std::errc() || end != port_text.data() + port_text.size()) return false;
  if (value < 0 || value > 65535) return false;
  *port = value;
  return true;
}

bool IsLoopbackAddress(std::string_view host) {
  const std::string text(host);
  unsigned char v4[4];
  if (::inet_pton(AF_INET, text.c_str(), v4) == 1) return v4[0] == 127;
  unsigned char v6[16];
  if (::inet_pton(AF_INET6, text.c_str(), v6) == 1) {
    for (int i = 0; i < 15; ++i) {
      if (v6[i] != 0) return false;
    }
    return v6[15] == 1;
  }
  return false;
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace fiskal::service::http
