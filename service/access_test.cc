#include "service/access.h"

#include <gtest/gtest.h>

namespace fiskal::service {
namespace {

AccessRules Rules(const char* listen, std::string token = {}) {
  AccessRules rules;
  EXPECT_TRUE(ParseListenAddress(listen, &rules.listen)) << listen;
  rules.allowed_origins = {"https://pos.example"};
  rules.token = std::move(token);
  return rules;
}

TEST(Access, ListenAddresses) {
  struct Case {
    const char* text;
    bool ok;
    const char* authority;
    bool loopback;
  };
  const Case cases[] = {
      {"127.0.0.1:8470", true, "127.0.0.1:8470", true},
      {"localhost:0", true, "127.0.0.1:0", true},
      {"[::1]:8470", true, "[::1]:8470", true},
      {"0.0.0.0:8470", true, "0.0.0.0:8470", false},
      {"192.168.1.5:80", true, "192.168.1.5:80", false},
      {"example.com:80", false, "", false},
      {"127.0.0.1", false, "", false},
      {"::1:8470", false, "", false},
      {"127.0.0.1:65536", false, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ListenAddress address;
    ASSERT_EQ(ParseListenAddress(c.text, &address), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(address.Authority(), c.authority);
    EXPECT_EQ(address.IsLoopback(), c.loopback);
  }
}

TEST(Access, HostsAndOrigins) {
  const AccessRules v4 = Rules("127.0.0.1:8470");
  const AccessRules v6 = Rules("[::1]:8470");
  const AccessRules any = Rules("0.0.0.0:8470");
  struct Case {
    const AccessRules* rules;
    const char* host;
    bool allowed;
  };
  const Case hosts[] = {
      {&v4, "127.0.0.1:8470", true},   {&v4, "localhost:8470", true},
      {&v4, "LOCALHOST:8470", true},   {&v4, "127.0.0.1:8471", false},
      {&v4, "127.0.0.1", false},       {&v4, "attacker.example:8470", false},
      {&v4, "127.0.0.2:8470", false},  {&v4, "", false},
      {&v6, "[::1]:8470", true},       {&v6, "[0:0::1]:8470", true},
      {&v6, "127.0.0.1:8470", false},  {&any, "192.168.1.5:8470", true},
      {&any, "[fe80::1]:8470", true},  {&any, "pos.example:8470", false},
  };
  for (const Case& c : hosts) {
    EXPECT_EQ(HostAllowed(*c.rules, c.host), c.allowed) << c.host;
  }
  EXPECT_TRUE(IsOwnOrigin(v4, "http://127.0.0.1:8470"));
  EXPECT_TRUE(IsOwnOrigin(v4, "http://localhost:8470"));
  EXPECT_FALSE(IsOwnOrigin(v4, "https://127.0.0.1:8470"));
  EXPECT_FALSE(IsOwnOrigin(v4, "http://127.0.0.1:8471"));
  EXPECT_TRUE(IsListedOrigin(v4, "https://pos.example"));
  for (const char* other : {"https://pos.example:443", "https://pos.example/", "http://pos.example",
                            "https://evil.pos.example", "null", "*"}) {
    EXPECT_FALSE(IsListedOrigin(v4, other)) << other;
  }
}

TEST(Access, BearerToken) {
  const AccessRules open = Rules("127.0.0.1:1");
  EXPECT_TRUE(TokenMatches(open, ""));
  const AccessRules closed = Rules("127.0.0.1:1", "0123456789abcdef");
  EXPECT_TRUE(TokenMatches(closed, "Bearer 0123456789abcdef"));
  for (const char* wrong : {"", "Bearer ", "Bearer 0123456789abcde", "Bearer 0123456789abcdeF",
                            "Bearer 0123456789abcdef0", "bearer 0123456789abcdef",
                            "Basic 0123456789abcdef"}) {
    EXPECT_FALSE(TokenMatches(closed, wrong)) << wrong;
  }
}

}  // namespace
}  // namespace fiskal::service
