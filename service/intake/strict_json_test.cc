#include "service/intake/strict_json.h"

#include <gtest/gtest.h>

namespace fiskal::service {
namespace {

TEST(StrictJson, OneReadingOnly) {
  struct Case {
    std::string text;
    const char* says;  // nullptr: taken
  };
  const Case cases[] = {
      {R"({"port": 0, "items": []})", nullptr},
      {R"({"port": 0, "port": 1})", "\"port\" twice"},
      {R"({"items": [{"name": "A", "name": "B"}]})", "\"name\" twice"},
      // The same name in two objects is two members, not one twice.
      {R"({"a": {"x": 1}, "b": {"x": 2}})", nullptr},
      {R"([{"x": 1}, {"x": 2}])", nullptr},
      {R"({"port": )", "not well-formed"},
      {"{\"name\": \"\xff\"}", "not well-formed"},
      {std::string(100000, '[') + std::string(100000, ']'), "levels deep"},
      {"", "not well-formed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    nlohmann::json value;
    const auto problem = ParseStrictJson(c.text, &value);
    if (c.says == nullptr) {
      EXPECT_FALSE(problem) << *problem;
    } else {
      ASSERT_TRUE(problem);
      EXPECT_NE(problem->find(c.says), std::string::npos) << *problem;
    }
  }
}

// The shape sees each value as it begins, with the path down to it, and
// a refusal there ends the reading: what follows is never read.
TEST(StrictJson, TheShapeSeesEachValueWhereItBegins) {
  struct Seen : JsonShape {
    std::vector<std::string> paths;
    std::optional<std::string> Begin(const std::vector<JsonStep>& path, JsonKind kind) override {
      std::string p = kind == JsonKind::kObject ? "{" : kind == JsonKind::kArray ? "[" : "=";
      for (const JsonStep& s : path) p += s.member ? "." + s.name : "[" + std::to_string(s.index) + "]";
      paths.push_back(p);
      if (p == "=.stop") return "stopped here";
      return std::nullopt;
    }
  };
  Seen seen;
  nlohmann::json value;
  EXPECT_FALSE(ParseStrictJson(R"({"a": [1, {"b": null}], "c": "x"})", &value, &seen));
  EXPECT_EQ(seen.paths, (std::vector<std::string>{"{", "[.a", "=.a[0]", "{.a[1]", "=.a[1].b", "=.c"}));
  EXPECT_EQ(value["a"][1], nlohmann::json({{"b", nullptr}}));

  Seen stopping;
  // "a" twice and the missing "}" come after the refusal: unread.
  EXPECT_EQ(ParseStrictJson(R"({"a": 1, "stop": 2, "a": 3)", &value, &stopping), "stopped here");
  EXPECT_EQ(stopping.paths, (std::vector<std::string>{"{", "=.a", "=.stop"}));
}

}  // namespace
}  // namespace fiskal::service
