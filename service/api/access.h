// Who may talk to fiskald, in one room: the checks on Host, Origin and the
// bearer token, the answers that refuse a request for them (403, 401; a
// preflight of an origin not listed included), and the cross-origin
// answers for the origins given with --allow-origin (the preflight, and
// the fields every answer to them carries).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/http/http.h"
#include "service/options.h"

namespace fiskal::service {

struct AccessRules {
  ListenAddress listen;
  bool tls = false;                          // served over HTTPS
  std::vector<std::string> server_names;     // lower case, from --server-name
  std::vector<std::string> allowed_origins;  // exact, from --allow-origin
  std::string token;                         // empty: no token needed

  // "http://127.0.0.1:8470", or https:// when served over TLS.
  std::string Origin() const;
};

// A Host header that names the listen address, localhost or a server name,
// with the port (which a browser leaves out when it is the scheme's own).
// On a wildcard address any address literal with the port is taken, but
// never another name, so a DNS name that rebinds to the service is refused.
bool HostAllowed(const AccessRules& rules, std::string_view host);

// The origin of a page fiskald itself served, as the request names it: the
// scheme fiskald serves and the host and port of the request's own Host
// header (which must be allowed). A page of another address is never one,
// even when that address is fiskald's too.
bool IsOwnOrigin(const AccessRules& rules, std::string_view origin, std::string_view host);
// An origin given with --allow-origin, compared exactly.
bool IsListedOrigin(const AccessRules& rules, std::string_view origin);

// "Bearer <token>", the token compared in constant time.
bool TokenMatches(const AccessRules& rules, std::string_view authorization);

// Why a request may not be answered: 403 for a foreign Host or Origin (or
// a preflight of an origin not listed), 401 without the token when
// `needs_token`.
struct AccessRefusal {
  int status = 403;
  std::string detail;
  std::vector<http::Field> fields;  // WWW-Authenticate with a 401
  const char* kind = "";            // "host", "origin", "token", "preflight"
};

// Checks a request's header, before anything else of it is looked at.
std::optional<AccessRefusal> CheckAccess(const AccessRules& rules, const http::Request& head,
                                         bool needs_token);

// Checks a preflight (OPTIONS): CheckAccess without the token, and an
// origin given with --allow-origin (403 for any other).
std::optional<AccessRefusal> CheckPreflight(const AccessRules& rules, const http::Request& head);

// The answer to a preflight (OPTIONS) from a listed origin: 204 with what
// it may send.
http::Response PreflightAnswer();

// The fields every answer to a listed origin carries (none for others).
std::vector<http::Field> CorsFields(const AccessRules& rules, const http::Request& request);

}  // namespace fiskal::service
