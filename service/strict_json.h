// How fiskald reads a JSON body, in one place: well-formed JSON in UTF-8,
// no member name twice in one object (two readings of one receipt: which
// "port" would print?), and at most 32 levels deep.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace fiskal::service {

// The value of `text`, or what is wrong with it (a phrase for a problem's
// detail: "the body is not well-formed JSON", ...).
std::optional<std::string> ParseStrictJson(std::string_view text, nlohmann::json* value);

}  // namespace fiskal::service
