// Who may talk to fiskald: the checks on Host, Origin and the bearer
// token, as pure functions of the request's headers and the service's
// settings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fiskal::service {

// Where the service listens, as the command line gave it.
struct ListenAddress {
  std::string host;  // an address: "127.0.0.1", "::1", "0.0.0.0", ...
  int port = 0;      // the port bound (the system's choice for 0)

  // "127.0.0.1:8470", "[::1]:8470": how a URL names it.
  std::string Authority() const;
  // "http://127.0.0.1:8470"
  std::string Origin() const;
  // Loopback: 127.0.0.0/8 or ::1.
  bool IsLoopback() const;
  // Every address of the machine: 0.0.0.0 or ::.
  bool IsWildcard() const;
};

// Parses "ADDR:PORT" ("[::1]:8470" for IPv6; "localhost" means 127.0.0.1).
// Returns false when it is not such an address.
bool ParseListenAddress(std::string_view text, ListenAddress* address);

struct AccessRules {
  ListenAddress listen;
  std::vector<std::string> allowed_origins;  // exact, from --allow-origin
  std::string token;                         // empty: no token needed
};

// A Host header that names the listen address or localhost, with the
// port. On a wildcard address any address literal with the port is taken,
// but never a name, so a DNS name that rebinds to the service is refused.
bool HostAllowed(const AccessRules& rules, std::string_view host);

// The service's own origins: http:// plus the listen address, and
// http://localhost:PORT.
bool IsOwnOrigin(const AccessRules& rules, std::string_view origin);
// An origin given with --allow-origin, compared exactly.
bool IsListedOrigin(const AccessRules& rules, std::string_view origin);

// "Bearer <token>", the token compared in constant time.
bool TokenMatches(const AccessRules& rules, std::string_view authorization);

}  // namespace fiskal::service
