// How fiskald reads a JSON body, in one place: well-formed JSON in UTF-8,
// no member name twice in one object (two readings of one receipt: which
// "port" would print?), and at most 32 levels deep. A body is read as it
// comes and refused at the first thing wrong, before the rest is read:
// those rules, and the shape the reader of one kind of body expects (its
// JsonShape), so that a body of 1 MiB of things no one asked for is never
// built whole in memory.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace fiskal::service {

// One step from the top of a body down to a value: a member's name, or an
// element's index in its array.
struct JsonStep {
  bool member = true;
  std::string name;       // of a member
  std::size_t index = 0;  // of an element
};

// What a value is, as far as is known when it begins.
enum class JsonKind { kObject, kArray, kScalar };

// The shape a kind of body must have, checked as each value begins.
class JsonShape {
 public:
  virtual ~JsonShape() = default;
  // A value of `kind` begins at `path` (empty: the body itself). A phrase
  // refuses the body there and ends the reading.
  virtual std::optional<std::string> Begin(const std::vector<JsonStep>& path, JsonKind kind) = 0;
};

// The value of `text`, or what is wrong with it (a phrase for a problem's
// detail: "the body is not well-formed JSON", ..., or the phrase `shape`
// refused it with).
std::optional<std::string> ParseStrictJson(std::string_view text, nlohmann::json* value,
                                           JsonShape* shape = nullptr);

}  // namespace fiskal::service
