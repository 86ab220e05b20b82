// What the route table (api.cc) and the API's answers (handlers.cc,
// metrics.cc, page_files.cc) share of reading a request and answering it:
// a receipt's id in a path, whole numbers in a query, the wait asked for,
// how a refusal of a receipt's content type is worded here, and the
// problem answer every route gives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "service/http/http.h"
#include "service/intake/receipt_form.h"

namespace fiskal::service {

// The largest receipt id a path or ?before names: 2^53-1, the largest
// whole number a JSON reader keeps exact.
inline constexpr std::int64_t kMaxId = (std::int64_t{1} << 53) - 1;

// How the API words a refusal of a receipt's content type.
inline constexpr ContentTypeWords kPosted{"posted", "without a Content-Type"};

// A whole number from `min` to `max`, or nothing.
std::optional<int> Whole(std::string_view text, int min, int max);

// Whether `path` is `pattern`, "{id}" matching an id from 1 to 2^53-1
// written without leading zeros, "{port}" one digit; the id or the port
// in *id.
bool Matches(std::string_view pattern, std::string_view path, std::int64_t* id);

// A problem as the API answers it; a 503 says when to try again
// (Retry-After).
http::Response Problem(int status, const std::string& detail,
                       const nlohmann::ordered_json& extra = nlohmann::ordered_json::object());

// The seconds of ?wait (checked against its bound by the route table
// already), 0 without it.
int WaitOf(const http::Request& request);

}  // namespace fiskal::service
