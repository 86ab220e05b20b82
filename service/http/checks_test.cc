#include "service/http/checks.h"

#include <gtest/gtest.h>

#include "base/reason_phrase.h"

namespace fiskal::service::http {
namespace {

// The front door's bounds, with a body bound of 1 MiB (as fiskald sets it).
const Limits kLimits = [] {
  Limits limits;
  limits.body_bytes = std::size_t{1} << 20;
  return limits;
}();

Request Head(std::string method, std::string target, std::vector<Field> fields) {
  Request r;
  r.method = std::move(method);
  r.target = std::move(target);
  r.fields = std::move(fields);
  return r;
}

TEST(HttpChecks, RefusesEveryAmbiguousHeader) {
  const std::vector<Field> host = {{"Host", "a"}};
  auto with = [&](std::vector<Field> more) {
    std::vector<Field> all = host;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  std::vector<Field> many = host;
  for (int i = 0; i < 100; ++i) many.push_back({"X-" + std::to_string(i), "1"});
  struct Case {
    const char* what;
    int version;
    Request head;
    int status;  // 0: taken
    bool chunked = false;
    std::uint64_t length = 0;
  };
  const Case cases[] = {
      {"a GET", 11, Head("GET", "/healthz", host), 0},
      {"a POST with a length", 11, Head("POST", "/v1/receipts", with({{"Content-Length", "12"}})),
       0, false, 12},
      {"a chunked POST", 11,
       Head("POST", "/v1/receipts", with({{"Transfer-Encoding", " Chunked "}})), 0, true},
      {"HTTP/1.0 without Host", 10, Head("GET", "/", {}), 0},
      {"HTTP/1.1 without Host", 11, Head("GET", "/", {}), 400},
      {"HTTP/1.2", 12, Head("GET", "/", host), 505},
      {"two Hosts", 11, Head("GET", "/", with({{"host", "b"}})), 400},
      {"two equal lengths", 11,
       Head("POST", "/", with({{"Content-Length", "3"}, {"Content-Length", "3"}})), 400},
      {"a list of lengths", 11, Head("POST", "/", with({{"Content-Length", "3, 3"}})), 400},
      {"a signed length", 11, Head("POST", "/", with({{"Content-Length", "+3"}})), 400},
      {"a length and chunked", 11,
       Head("POST", "/", with({{"Content-Length", "3"}, {"Transfer-Encoding", "chunked"}})), 400},
      {"an unknown coding", 11, Head("POST", "/", with({{"Transfer-Encoding", "gzip"}})), 400},
      {"a coding before chunked", 11,
       Head("POST", "/", with({{"Transfer-Encoding", "gzip, chunked"}})), 400},
      {"chunked twice in one field", 11,
       Head("POST", "/", with({{"Transfer-Encoding", "chunked, chunked"}})), 400},
      {"two Transfer-Encodings", 11,
       Head("POST", "/",
            with({{"Transfer-Encoding", "chunked"}, {"Transfer-Encoding", "chunked"}})),
       400},
      {"chunked in HTTP/1.0", 10, Head("POST", "/", {{"Transfer-Encoding", "chunked"}}), 400},
      {"two Origins", 11, Head("GET", "/", with({{"Origin", "a"}, {"origin", "b"}})), 400},
      {"two keys", 11,
       Head("POST", "/",
            with({{"Content-Length", "1"}, {"Idempotency-Key", "a"}, {"Idempotency-Key", "b"}})),
       400},
      {"two tokens", 11,
       Head("GET", "/", with({{"Authorization", "Bearer a"}, {"Authorization", "Bearer b"}})), 400},
      {"a POST without a length has no body", 11, Head("POST", "/v1/receipts", host), 0},
      {"an HTTP/1.0 POST without a length", 10, Head("POST", "/v1/receipts", {}), 0},
      {"a GET with a body", 11, Head("GET", "/", with({{"Content-Length", "5"}})), 400},
      {"a GET with a length of 0", 11, Head("GET", "/", with({{"Content-Length", "0"}})), 0},
      {"a body over the limit", 11,
       Head("POST", "/", with({{"Content-Length", std::to_string((1 << 20) + 1)}})), 413},
      {"a body at the limit", 11,
       Head("POST", "/", with({{"Content-Length", std::to_string(1 << 20)}})), 0, false,
       1 << 20},
      {"101 fields", 11, Head("GET", "/", many), 431},
      {"a target over 8 KiB", 11, Head("GET", "/" + std::string(8192, 'a'), host), 414},
      {"an absolute target", 11, Head("GET", "http://a/healthz", host), 400},
      {"an asterisk", 11, Head("OPTIONS", "*", host), 400},
      {"another expectation", 11,
       Head("POST", "/", with({{"Content-Length", "1"}, {"Expect", "200-ok"}})), 417},
      {"100-continue", 11,
       Head("POST", "/", with({{"Content-Length", "1"}, {"Expect", "100-Continue"}})), 0, false,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Request head = c.head;
    Framing framing;
    const std::optional<Refusal> refusal = CheckHead(c.version, kLimits, &head, &framing);
    EXPECT_EQ(refusal ? refusal->status : 0, c.status) << (refusal ? refusal->detail : "");
    if (refusal) {
      EXPECT_FALSE(refusal->detail.empty());
      continue;
    }
    EXPECT_EQ(framing.chunked, c.chunked);
    EXPECT_EQ(framing.length, c.length);
    EXPECT_EQ(head.has_body, c.chunked || c.length > 0);
  }
}

TEST(HttpChecks, TargetsAndQueries) {
  struct Case {
    const char* target;
    bool ok;
    const char* path;
    std::vector<std::pair<std::string, std::string>> query;
  };
  const Case cases[] = {
      {"/v1/receipts", true, "/v1/receipts", {}},
      {"/v1/receipts?wait=10", true, "/v1/receipts", {{"wait", "10"}}},
      {"/v1/receipts?state=in_doubt&limit=5", true, "/v1/receipts",
       {{"state", "in_doubt"}, {"limit", "5"}}},
      {"/x?a=%41%2f&&b", true, "/x", {{"a", "A/"}, {"b", ""}}},
      {"/x?", true, "/x", {}},
      {"/x?wait=1&wait=300", false, "", {}},
      {"/x?a=%4", false, "", {}},
      {"/x?a=%zz", false, "", {}},
      {"x", false, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    std::string path;
    std::vector<std::pair<std::string, std::string>> query;
    const auto refusal = ParseTarget(c.target, &path, &query);
    ASSERT_EQ(!refusal, c.ok) << (refusal ? refusal->detail : "");
    if (!c.ok) {
      EXPECT_EQ(refusal->status, 400);
      continue;
    }
    EXPECT_EQ(path, c.path);
    EXPECT_EQ(query, c.query);
  }
}

TEST(HttpChecks, ReasonPhrasesAreRfc9110s) {
  EXPECT_STREQ(ReasonPhrase(413), "Content Too Large");
  EXPECT_STREQ(ReasonPhrase(422), "Unprocessable Content");
  EXPECT_STREQ(ReasonPhrase(431), "Request Header Fields Too Large");
}

}  // namespace
}  // namespace fiskal::service::http
