#include "service/strict_json.h"

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

}  // namespace
}  // namespace fiskal::service
