#include "service/api/access.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <charconv>

namespace fiskal::service {

namespace {

bool IsIpv6(std::string_view host) { return host.find(':') != std::string_view::npos; }

// An address literal: IPv4 dotted quad, or IPv6 (without brackets).
bool IsAddressLiteral(std::string_view host) {
  const std::string text(host);
  unsigned char buffer[16];
  return ::inet_pton(AF_INET, text.c_str(), buffer) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

// Splits "host:port" or "[v6]:port" into host (brackets removed) and port.
// Without a port, `default_port` is taken when it is given (not -1).
bool SplitAuthority(std::string_view text, std::string* host, int* port,
                    int default_port = -1) {
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

// The port a URL of fiskald's scheme leaves out, when fiskald listens on
// it; else none (-1).
int DefaultPort(const AccessRules& rules) {
  const int own = rules.tls ? 443 : 80;
  return rules.listen.port == own ? own : -1;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace

std::string ListenAddress::Authority() const {
  return (IsIpv6(host) ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string AccessRules::Origin() const {
  return std::string(tls ? "https://" : "http://") + listen.Authority();
}

bool ListenAddress::IsLoopback() const {
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

bool ListenAddress::IsWildcard() const { return host == "0.0.0.0" || host == "::"; }

bool ParseServerName(std::string_view text, std::string* name) {
  if (text.empty() || text.size() > 253 || IsAddressLiteral(std::string(text))) return false;
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
  *name = Lower(text);
  return true;
}

bool ParseListenAddress(std::string_view text, ListenAddress* address) {
  ListenAddress parsed;
  if (!SplitAuthority(text, &parsed.host, &parsed.port)) return false;
  if (parsed.host == "localhost") parsed.host = "127.0.0.1";
  if (!IsAddressLiteral(parsed.host)) return false;
  *address = parsed;
  return true;
}

bool HostAllowed(const AccessRules& rules, std::string_view host_header) {
  std::string host;
  int port = 0;
  if (!SplitAuthority(host_header, &host, &port, DefaultPort(rules)) ||
      port != rules.listen.port) {
    return false;
  }
  host = Lower(host);
  if (host == "localhost") return true;
  for (const std::string& name : rules.server_names) {
    if (host == name) return true;
  }
  if (rules.listen.IsWildcard()) return IsAddressLiteral(host);
  // The literal as given, or another spelling of the same address.
  unsigned char want[16] = {}, got[16] = {};
  const int family = IsIpv6(rules.listen.host) ? AF_INET6 : AF_INET;
  return ::inet_pton(family, rules.listen.host.c_str(), want) == 1 &&
         ::inet_pton(family, host.c_str(), got) == 1 &&
         std::string_view(reinterpret_cast<char*>(want), 16) ==
             std::string_view(reinterpret_cast<char*>(got), 16);
}

bool IsOwnOrigin(const AccessRules& rules, std::string_view origin, std::string_view host_header) {
  const std::string scheme = rules.tls ? "https://" : "http://";
  const std::string lower = Lower(origin);
  if (lower.rfind(scheme, 0) != 0 || !HostAllowed(rules, host_header)) return false;
  std::string origin_host, host;
  int origin_port = 0, port = 0;
  const int fallback = DefaultPort(rules);
  return SplitAuthority(std::string_view(lower).substr(scheme.size()), &origin_host, &origin_port,
                        rules.tls ? 443 : 80) &&
         SplitAuthority(host_header, &host, &port, fallback) && origin_host == Lower(host) &&
         origin_port == port;
}

bool IsListedOrigin(const AccessRules& rules, std::string_view origin) {
  for (const std::string& allowed : rules.allowed_origins) {
    if (origin == allowed) return true;
  }
  return false;
}

bool TokenMatches(const AccessRules& rules, std::string_view authorization) {
  constexpr std::string_view kScheme = "Bearer ";
  if (rules.token.empty()) return true;
  if (authorization.substr(0, kScheme.size()) != kScheme) return false;
  const std::string_view given = authorization.substr(kScheme.size());
  // Every byte of the expected token is looked at whatever the given one
  // holds, so the time taken says nothing of where they differ.
  const std::string& token = rules.token;
  unsigned char diff = given.size() == token.size() ? 0 : 1;
  for (std::size_t i = 0; i < token.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= static_cast<unsigned char>(g ^ static_cast<unsigned char>(token[i]));
  }
  return diff == 0;
}

}  // namespace fiskal::service

namespace fiskal::service {

std::optional<AccessRefusal> CheckAccess(const AccessRules& rules, const http::Request& head,
                                         bool needs_token) {
  const std::string_view host = head.Header("Host");
  if (!HostAllowed(rules, host)) {
    std::string names = rules.listen.Authority() + ", localhost:" + std::to_string(rules.listen.port);
    for (const std::string& name : rules.server_names) {
      names += ", " + name + ":" + std::to_string(rules.listen.port);
    }
    return AccessRefusal{403, "the Host header must name " + names + " (it named \"" +
                                  std::string(host.substr(0, 256)) + "\")", {}};
  }
  const std::string_view origin = head.Header("Origin");
  if (head.HasHeader("Origin") && !IsListedOrigin(rules, origin) &&
      !IsOwnOrigin(rules, origin, host)) {
    const std::string shown(origin.substr(0, 256));
    return AccessRefusal{403, "requests from the origin " + shown +
                                  " are not allowed; start fiskald with --allow-origin " + shown +
                                  " to allow them", {}};
  }
  if (needs_token && !TokenMatches(rules, head.Header("Authorization"))) {
    return AccessRefusal{401, "this service needs the header Authorization: Bearer <token>, the "
                              "token in fiskald's token file",
                         {{"WWW-Authenticate", "Bearer"}}};
  }
  return std::nullopt;
}

std::optional<AccessRefusal> CheckPreflight(const AccessRules& rules, const http::Request& head) {
  if (auto refusal = CheckAccess(rules, head, /*needs_token=*/false)) return refusal;
  if (!IsListedOrigin(rules, head.Header("Origin"))) {
    return AccessRefusal{403, "preflight requests are answered for the origins given with "
                              "--allow-origin only", {}};
  }
  return std::nullopt;
}

http::Response PreflightAnswer() {
  http::Response r;
  r.status = 204;
  r.Set("Access-Control-Allow-Methods", "GET, POST");
  r.Set("Access-Control-Allow-Headers", "Content-Type, Idempotency-Key, Authorization");
  r.Set("Access-Control-Max-Age", "600");
  return r;
}

std::vector<http::Field> CorsFields(const AccessRules& rules, const http::Request& request) {
  if (!request.HasHeader("Origin") || !IsListedOrigin(rules, request.Header("Origin"))) return {};
  return {{"Access-Control-Allow-Origin", std::string(request.Header("Origin"))},
          {"Access-Control-Expose-Headers", "Location, Idempotent-Replayed, Retry-After"},
          {"Vary", "Origin"}};
}

}  // namespace fiskal::service
