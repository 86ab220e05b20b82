#include "service/strict_json.h"

#include <set>
#include <vector>

namespace fiskal::service {

namespace {

constexpr int kMaxDepth = 32;

}  // namespace

std::optional<std::string> ParseStrictJson(std::string_view text, nlohmann::json* value) {
  using Json = nlohmann::json;
  std::vector<std::set<std::string>> names;  // of each object open
  std::optional<std::string> problem;
  const Json::parser_callback_t check = [&](int depth, Json::parse_event_t event, Json& parsed) {
    if (problem) return false;
    if (depth > kMaxDepth) {
      problem = "the body is nested more than " + std::to_string(kMaxDepth) + " levels deep";
      return false;
    }
    switch (event) {
      case Json::parse_event_t::object_start:
        names.emplace_back();
        break;
      case Json::parse_event_t::object_end:
        if (!names.empty()) names.pop_back();
        break;
      case Json::parse_event_t::key:
        if (!names.empty() && !names.back().insert(parsed.get<std::string>()).second) {
          problem = "the body has the member \"" + parsed.get<std::string>() +
                    "\" twice in one object";
        }
        break;
      default:
        break;
    }
    return true;
  };
  Json parsed = Json::parse(text, check, /*allow_exceptions=*/false);
  if (problem) return problem;
  if (parsed.is_discarded()) return "the body is not well-formed JSON";
  *value = std::move(parsed);
  return std::nullopt;
}

}  // namespace fiskal::service
