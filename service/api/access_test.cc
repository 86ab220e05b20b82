#include "service/api/access.h"

#include <gtest/gtest.h>

#include <cstring>

namespace fiskal::service {
namespace {

AccessRules Rules(const char* listen, std::string token = {}) {
  AccessRules rules;
  EXPECT_TRUE(ParseListenAddress(listen, &rules.listen)) << listen;
  rules.allowed_origins = {"https://pos.example"};
  rules.token = std::move(token);
  return rules;
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
  EXPECT_TRUE(IsListedOrigin(v4, "https://pos.example"));
  for (const char* other : {"https://pos.example:443", "https://pos.example/", "http://pos.example",
                            "https://evil.pos.example", "null", "*"}) {
    EXPECT_FALSE(IsListedOrigin(v4, other)) << other;
  }
}

// A name given with --server-name is taken as the listen address is; a
// browser leaves the port out of Host when it is the scheme's own.
TEST(Access, ServerNamesAndDefaultPorts) {
  AccessRules tls = Rules("0.0.0.0:443");
  tls.tls = true;
  tls.server_names = {"printer.shop.example"};
  AccessRules plain = Rules("127.0.0.1:80");
  struct Case {
    const AccessRules* rules;
    const char* host;
    bool allowed;
  };
  const Case hosts[] = {
      {&tls, "printer.shop.example", true},   {&tls, "PRINTER.shop.example:443", true},
      {&tls, "printer.shop.example:80", false}, {&tls, "other.shop.example", false},
      {&tls, "192.168.1.5", true},            {&plain, "127.0.0.1", true},
      {&plain, "localhost", true},            {&plain, "printer.shop.example", false},
  };
  for (const Case& c : hosts) EXPECT_EQ(HostAllowed(*c.rules, c.host), c.allowed) << c.host;
}

// The own origin is the page's that fiskald served under the very name the
// request uses: never another address, though it be fiskald's too.
TEST(Access, OwnOriginIsTheRequestsOwnHost) {
  const AccessRules v4 = Rules("127.0.0.1:8470");
  const AccessRules any = Rules("0.0.0.0:8470");
  AccessRules tls = Rules("0.0.0.0:443");
  tls.tls = true;
  tls.server_names = {"printer.shop.example"};
  struct Case {
    const AccessRules* rules;
    const char* origin;
    const char* host;
    bool own;
  };
  const Case cases[] = {
      {&v4, "http://127.0.0.1:8470", "127.0.0.1:8470", true},
      {&v4, "http://localhost:8470", "localhost:8470", true},
      {&v4, "http://LOCALHOST:8470", "localhost:8470", true},
      {&v4, "http://localhost:8470", "127.0.0.1:8470", false},
      {&v4, "https://127.0.0.1:8470", "127.0.0.1:8470", false},
      {&v4, "http://127.0.0.1:8471", "127.0.0.1:8470", false},
      {&v4, "http://127.0.0.1:8470", "evil.example:8470", false},
      {&v4, "null", "127.0.0.1:8470", false},
      {&any, "http://192.168.1.5:8470", "192.168.1.5:8470", true},
      {&any, "http://192.168.1.99:8470", "192.168.1.5:8470", false},
      {&tls, "https://printer.shop.example", "printer.shop.example", true},
      {&tls, "https://printer.shop.example:443", "printer.shop.example", true},
      {&tls, "http://printer.shop.example", "printer.shop.example", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsOwnOrigin(*c.rules, c.origin, c.host), c.own) << c.origin << " / " << c.host;
  }
}

TEST(Access, RefusalsInTheirOrder) {
  const AccessRules rules = Rules("127.0.0.1:8470", "0123456789abcdef");
  auto head = [](std::vector<http::Field> fields) {
    http::Request r;
    r.method = "POST";
    r.target = r.path = "/v1/receipts";
    r.fields = std::move(fields);
    return r;
  };
  const http::Field host{"Host", "127.0.0.1:8470"};
  const http::Field bearer{"Authorization", "Bearer 0123456789abcdef"};
  struct Case {
    const char* what;
    http::Request head;
    bool needs_token;
    int status;  // 0: allowed
  };
  const Case cases[] = {
      {"all well", head({host, bearer}), true, 0},
      {"no token on an open path", head({host}), false, 0},
      {"no token", head({host}), true, 401},
      {"a foreign host first", head({{"Host", "evil.example:8470"}}), true, 403},
      {"a foreign origin", head({host, bearer, {"Origin", "https://evil.example"}}), true, 403},
      {"a listed origin", head({host, bearer, {"Origin", "https://pos.example"}}), true, 0},
      {"an empty origin", head({host, bearer, {"Origin", ""}}), true, 403},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto refusal = CheckAccess(rules, c.head, c.needs_token);
    EXPECT_EQ(refusal ? refusal->status : 0, c.status);
    if (refusal && refusal->status == 401) {
      ASSERT_EQ(refusal->fields.size(), 1u);
      EXPECT_EQ(refusal->fields[0].name, "WWW-Authenticate");
    }
  }
}

// A refusal's hint names only what fiskald takes: --allow-origin for an
// origin it would take, --server-name for a name, the port it listens on.
TEST(Access, RefusalsHintOnlyAtWhatIsTaken) {
  const AccessRules rules = Rules("127.0.0.1:8470");
  auto head = [](const std::string& host, const char* origin) {
    http::Request r;
    r.method = "GET";
    r.target = r.path = "/v1/printers";
    r.fields = {{"Host", host}};
    if (origin != nullptr) r.fields.push_back({"Origin", origin});
    return r;
  };
  struct Case {
    const char* what;
    http::Request head;
    const char* says;
    const char* never;  // nullptr: nothing to look for
  };
  const Case cases[] = {
      {"a foreign origin", head("127.0.0.1:8470", "https://evil.example"),
       "start fiskald with --allow-origin https://evil.example to allow them", nullptr},
      {"the null origin", head("127.0.0.1:8470", "null"),
       "(a page opened from a file, or in a sandboxed frame, has it)", "--allow-origin null"},
      {"an origin with a path", head("127.0.0.1:8470", "https://pos.example/shop"),
       "an origin fiskald allows is scheme://host[:port]", "--allow-origin https://pos.example/"},
      {"a name", head("Printer.Shop.example:8470", nullptr),
       "to take the name printer.shop.example, start fiskald with --server-name "
       "printer.shop.example",
       nullptr},
      {"another port", head("127.0.0.1:80", nullptr), "; fiskald listens on port 8470",
       "--server-name"},
      {"another address", head("192.168.1.5:8470", nullptr),
       "; fiskald listens on 127.0.0.1:8470 (--listen), and takes a name of it given with "
       "--server-name",
       nullptr},
      {"no host", head("", nullptr), "such as 127.0.0.1:8470", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto refusal = CheckAccess(rules, c.head, false);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->status, 403);
    EXPECT_NE(refusal->detail.find(c.says), std::string::npos) << refusal->detail;
    if (c.never != nullptr) {
      EXPECT_EQ(refusal->detail.find(c.never), std::string::npos) << refusal->detail;
    }
    // Whatever --allow-origin or --server-name it suggests, fiskald takes.
    for (const char* option : {"--allow-origin ", "--server-name "}) {
      const std::size_t at = refusal->detail.find(option);
      if (at == std::string::npos) continue;
      const std::string rest = refusal->detail.substr(at + std::strlen(option));
      const std::string value = rest.substr(0, rest.find(' '));
      if (value.empty() || value == "and") continue;  // no value follows the option
      Options o;
      EXPECT_TRUE(ParseOptions({option == std::string("--allow-origin ") ? "--allow-origin"
                                                                          : "--server-name",
                                value},
                               &o)
                      .ok())
          << value;
    }
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
