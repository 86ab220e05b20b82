#include "service/resource.h"

#include <gtest/gtest.h>

namespace fiskal::service {
namespace {

// The times the API shows are UTC in RFC 3339 with milliseconds, the same
// on every platform.
TEST(Resource, Rfc3339InUtcWithMilliseconds) {
  const struct {
    std::int64_t unix_ms;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1700000000123, "2023-11-14T22:13:20.123Z"},
      {951782400000, "2000-02-29T00:00:00.000Z"},  // a leap day
      {4102444799999, "2099-12-31T23:59:59.999Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(Rfc3339(c.unix_ms), c.text) << c.unix_ms;
}

}  // namespace
}  // namespace fiskal::service
