// The checks of a request's header that the HTTP library leaves to its
// user, as pure functions: how the body is framed (one Content-Length of
// digits, or Transfer-Encoding exactly "chunked", never both, never
// twice; neither: no body), fields that may come once only, the version, the request target
// and its query. What they refuse the server answers and closes the
// connection on, so that no two readings of one request can exist.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/http/http.h"
#include "service/http/limits.h"

namespace fiskal::service::http {

struct Refusal {
  int status = 400;
  std::string detail;
};

// How a request's body is framed, once its header passed CheckHead.
struct Framing {
  bool chunked = false;
  std::uint64_t length = 0;  // the declared length; 0 when chunked or none
  bool has_body() const { return chunked || length > 0; }
};

// Checks the header of a request (`head` without body: method, target,
// fields) of HTTP `version` (11 for HTTP/1.1). On success fills *framing,
// head->has_body, and head->path and head->query from the target.
std::optional<Refusal> CheckHead(int version, const Limits& limits, Request* head,
                                 Framing* framing);

// Splits an origin-form target ("/path?a=1&b=2") into its path and its
// query parameters, percent-decoded. Refuses another form, a malformed
// escape, and a parameter given twice.
std::optional<Refusal> ParseTarget(std::string_view target, std::string* path,
                                   std::vector<std::pair<std::string, std::string>>* query);

}  // namespace fiskal::service::http
