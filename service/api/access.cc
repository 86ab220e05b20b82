#include "service/api/access.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include "service/http/authority.h"

namespace fiskal::service {

namespace {

// The port a URL of fiskald's scheme leaves out, when fiskald listens on
// it; else none (-1).
int DefaultPort(const AccessRules& rules) {
  const int own = rules.tls ? 443 : 80;
  return rules.listen.port == own ? own : -1;
}

// What to do about a Host the service does not take: the name to give
// with --server-name, or the address and port it listens on.
std::string HostHint(const AccessRules& rules, std::string_view host_header) {
  std::string host, name;
  int port = 0;
  if (!http::SplitAuthority(host_header, &host, &port, rules.tls ? 443 : 80)) {
    return "; a Host names fiskald's host and port, such as " + rules.listen.Authority();
  }
  if (port != rules.listen.port) {
    return "; fiskald listens on port " + std::to_string(rules.listen.port);
  }
  if (ParseServerName(host, &name)) {
    return "; to take the name " + name + ", start fiskald with --server-name " + name;
  }
  return "; fiskald listens on " + rules.listen.Authority() +
         " (--listen), and takes a name of it given with --server-name";
}

// What to do about an origin the service does not allow: --allow-origin,
// when the origin is one it takes.
std::string OriginRefused(std::string_view origin) {
  const std::string shown(origin.substr(0, 256));
  const std::string refused = "requests from the origin " + shown + " are not allowed";
  if (IsAllowableOrigin(origin)) {
    return refused + "; start fiskald with --allow-origin " + shown + " to allow them";
  }
  if (origin == "null") {
    return refused + " (a page opened from a file, or in a sandboxed frame, has it) and "
                     "cannot be: serve the page from a web server, and start fiskald with "
                     "--allow-origin and that server's origin, such as https://pos.example";
  }
  return refused + ": an origin fiskald allows is scheme://host[:port], given with "
                   "--allow-origin";
}

}  // namespace

std::string AccessRules::Origin() const {
  return std::string(tls ? "https://" : "http://") + listen.Authority();
}

bool HostAllowed(const AccessRules& rules, std::string_view host_header) {
  std::string host;
  int port = 0;
  if (!http::SplitAuthority(host_header, &host, &port, DefaultPort(rules)) ||
      port != rules.listen.port) {
    return false;
  }
  host = http::LowerCase(host);
  if (host == "localhost") return true;
  for (const std::string& name : rules.server_names) {
    if (host == name) return true;
  }
  if (rules.listen.IsWildcard()) return http::IsAddressLiteral(host);
  // The literal as given, or another spelling of the same address.
  unsigned char want[16] = {}, got[16] = {};
  const int family = http::IsIpv6(rules.listen.host) ? AF_INET6 : AF_INET;
  return ::inet_pton(family, rules.listen.host.c_str(), want) == 1 &&
         ::inet_pton(family, host.c_str(), got) == 1 &&
         std::string_view(reinterpret_cast<char*>(want), 16) ==
             std::string_view(reinterpret_cast<char*>(got), 16);
}

bool IsOwnOrigin(const AccessRules& rules, std::string_view origin, std::string_view host_header) {
  const std::string scheme = rules.tls ? "https://" : "http://";
  const std::string lower = http::LowerCase(origin);
  if (lower.rfind(scheme, 0) != 0 || !HostAllowed(rules, host_header)) return false;
  std::string origin_host, host;
  int origin_port = 0, port = 0;
  const int fallback = DefaultPort(rules);
  return http::SplitAuthority(std::string_view(lower).substr(scheme.size()), &origin_host,
                              &origin_port, rules.tls ? 443 : 80) &&
         http::SplitAuthority(host_header, &host, &port, fallback) && origin_host == http::LowerCase(host) &&
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
                                  std::string(host.substr(0, 256)) + "\")" +
                                  HostHint(rules, host), {}, "host"};
  }
  const std::string_view origin = head.Header("Origin");
  if (head.HasHeader("Origin") && !IsListedOrigin(rules, origin) &&
      !IsOwnOrigin(rules, origin, host)) {
    return AccessRefusal{403, OriginRefused(origin), {}, "origin"};
  }
  if (needs_token && !TokenMatches(rules, head.Header("Authorization"))) {
    return AccessRefusal{401, "this service needs the header Authorization: Bearer <token>, the "
                              "token in fiskald's token file",
                         {{"WWW-Authenticate", "Bearer"}}, "token"};
  }
  return std::nullopt;
}

std::optional<AccessRefusal> CheckPreflight(const AccessRules& rules, const http::Request& head) {
  if (auto refusal = CheckAccess(rules, head, /*needs_token=*/false)) return refusal;
  if (!IsListedOrigin(rules, head.Header("Origin"))) {
    const std::string detail =
        head.HasHeader("Origin")
            ? OriginRefused(head.Header("Origin")) + " (a preflight is answered for the "
                                                     "origins given with --allow-origin only)"
            : "preflight requests are answered for the origins given with --allow-origin only";
    return AccessRefusal{403, detail, {}, "preflight"};
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
