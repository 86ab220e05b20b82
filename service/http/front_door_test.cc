// fiskald's front door against hostile clients: raw bytes on sockets of
// the test's own, every malformed or ambiguous request, smuggled requests
// behind each refusal, slow and idle clients, floods, and HTTPS. After
// each, nothing may be stored and /healthz must answer at once.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "testing/fiskald.h"
#include "testing/http_client.h"
#include "testing/ports.h"
#include "testing/pty.h"
#include "testing/temp_dir.h"

namespace fiskal {
namespace {

using Json = nlohmann::json;
using testing::Fiskald;
using testing::Headers;
using testing::HttpAnswer;
using testing::kPatience;
using testing::RawConnection;
using testing::RequestBytes;
using testing::TempDir;

constexpr const char* kToken = "0123456789abcdef0123";

// The bound the front door is held to: /healthz answers within it while
// hostile clients hold connections (a generous one: the answer takes
// well under a millisecond when nothing else runs).
constexpr double kAnswersAtOnce = 1.0;

std::string HostOf(const Fiskald& f) { return "127.0.0.1:" + std::to_string(f.port()); }

// A whole, well-formed receipt request: what an attacker hides in a body.
std::string Receipt(const Fiskald& f, const std::string& key, bool with_token = false) {
  const std::string body = "0;SMUGGLED\r\n1\tROLL\t1\t100\t100\t\r\n";
  Headers h = {{"Host", HostOf(f)},
               {"Content-Type", "text/plain"},
               {"Idempotency-Key", key},
               {"Content-Length", std::to_string(body.size())}};
  if (with_token) h.emplace_back("Authorization", std::string("Bearer ") + kToken);
  return RequestBytes("POST", "/v1/receipts", h, body);
}

// How many receipts the journal holds.
std::size_t Stored(const Fiskald& f, bool with_token = false) {
  Headers h;
  if (with_token) h.emplace_back("Authorization", std::string("Bearer ") + kToken);
  std::size_t stored = 0;
  for (Json next = "/v1/receipts?limit=1000"; next.is_string();) {
    const HttpAnswer list = f.Client().Get(next.get<std::string>(), h);
    EXPECT_EQ(list.status, 200) << list.error << list.body;
    if (!list) break;
    const Json page = Json::parse(list.body);
    stored += page["receipts"].size();
    next = page["next"];
  }
  return stored;
}

// A JSON receipt of `items` items, each of them fine: past the 255th it is
// refused, and the larger the body the more there is not to read.
std::string JsonOfItems(int items) {
  std::string body = R"({"port": 0, "footer": "THANK YOU", "items": [)";
  for (int i = 0; i < items; ++i) {
    body += std::string(i ? "," : "") +
            R"({"name": "WHOLE GRAIN BREAD", "tax": "1", "quantity": "1.00", "price": "2.50"})";
  }
  return body + "]}";
}

// A receipt of about `bytes` bytes (its footer), in the text form.
std::string LargeReceipt(std::size_t bytes) {
  return "0;" + std::string(bytes, 'F') + "\r\n1\tROLL\t1\t100\t100\t\r\n";
}

// /healthz answers, and in how long.
double HealthSeconds(const Fiskald& f) {
  const double start = testing::MonotonicNow();
  const HttpAnswer health = f.Client().Get("/healthz");
  EXPECT_EQ(health.status, 200) << health.error;
  return testing::MonotonicNow() - start;
}

// So that a test may hold many connections at once.
void RaiseOpenFiles() {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = limit.rlim_max;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  ASSERT_GE(limit.rlim_cur, 2000u) << "the test needs 2000 open files";
}

// Every request the front door must refuse, each with its status: the
// connection is closed after the answer (its bytes might be read two ways),
// and the receipt any of them hides is never stored.
TEST(FrontDoor, RefusesAmbiguousAndMalformedRequests) {
  TempDir dir;
  Fiskald f(dir);
  const std::string host = "Host: " + HostOf(f) + "\r\n";
  const std::string post = "POST /v1/receipts HTTP/1.1\r\n" + host +
                           "Content-Type: text/plain\r\nIdempotency-Key: outer\r\n";
  const std::string inner = Receipt(f, "inner");
  const std::string len = std::to_string(inner.size());
  std::string chunked_over;  // a chunked body that passes 1 MiB
  for (int i = 0; i < 17; ++i) chunked_over += "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
  chunked_over += "0\r\n\r\n";
  std::string many_fields, big_field;
  for (int i = 0; i < 101; ++i) many_fields += "X-" + std::to_string(i) + ": 1\r\n";
  big_field = "X-Big: " + std::string(std::size_t{17} * 1024, 'b') + "\r\n";
  std::string flood;  // 10000 fields, far past every bound
  for (int i = 0; i < 10000; ++i) flood += "X-Flood-" + std::to_string(i) + ": 1\r\n";

  struct Case {
    const char* what;
    std::string bytes;
    int status;
  };
  const Case cases[] = {
      {"two different lengths",
       post + "Content-Length: 5\r\nContent-Length: " + len + "\r\n\r\n" + inner, 400},
      {"two equal lengths",
       post + "Content-Length: " + len + "\r\nContent-Length: " + len + "\r\n\r\n" + inner, 400},
      {"a list of lengths", post + "Content-Length: " + len + ", " + len + "\r\n\r\n" + inner, 400},
      {"a signed length", post + "Content-Length: +" + len + "\r\n\r\n" + inner, 400},
      {"a length and chunked",
       post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + inner, 400},
      {"chunked and a length",
       post + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n" + inner, 400},
      {"an unknown coding", post + "Transfer-Encoding: gzip\r\n\r\n" + inner, 400},
      {"chunked, chunked", post + "Transfer-Encoding: chunked, chunked\r\n\r\n" + inner, 400},
      {"two codings",
       post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + inner,
       400},
      {"a line without a colon", post + "Content-Length: 0\r\nOrigin evil\r\n\r\n" + inner, 400},
      {"a space before the colon", post + "Content-Length : " + len + "\r\n\r\n" + inner, 400},
      {"a NUL byte", post + std::string("X-A: a") + '\0' + "b\r\nContent-Length: 0\r\n\r\n" + inner,
       400},
      {"an Origin ended by a bare LF",
       post + "Origin: https://evil.example\nContent-Length: " + len + "\r\n\r\n" + inner, 400},
      {"bare LFs only",
       "POST /v1/receipts HTTP/1.1\nHost: " + HostOf(f) + "\nContent-Length: " + len + "\n\n" +
           inner,
       400},
      {"a chunk longer than its size",
       post + "Transfer-Encoding: chunked\r\n\r\n3\r\n0;SMUGGLED\r\n0\r\n\r\n" + inner, 400},
      {"a chunk size that is no number",
       post + "Transfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n" + inner, 400},
      {"trailer fields",
       post + "Transfer-Encoding: chunked\r\n\r\n2\r\n0;\r\n0\r\nIdempotency-Key: x\r\n\r\n", 400},
      {"two Hosts", "GET /healthz HTTP/1.1\r\n" + host + host + "\r\n" + inner, 400},
      {"no Host", "GET /healthz HTTP/1.1\r\n\r\n" + inner, 400},
      {"an absolute target", "GET http://" + HostOf(f) + "/healthz HTTP/1.1\r\n" + host + "\r\n",
       400},
      {"a GET with a body",
       "GET /healthz HTTP/1.1\r\n" + host + "Content-Length: " + len + "\r\n\r\n" + inner, 400},
      {"a query parameter twice", "GET /v1/receipts?limit=1&limit=1000 HTTP/1.1\r\n" + host + "\r\n",
       400},
      {"an HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 400},
      {"a version not spoken", "GET /healthz HTTP/1.2\r\n" + host + "\r\n", 505},
      {"a length over 1 MiB", post + "Content-Length: 1048577\r\n\r\n" + inner, 413},
      {"chunks past 1 MiB", post + "Transfer-Encoding: chunked\r\n\r\n" + chunked_over, 413},
      {"another expectation",
       post + "Expect: 200-ok\r\nContent-Length: " + len + "\r\n\r\n" + inner, 417},
      {"101 header fields", post + many_fields + "Content-Length: " + len + "\r\n\r\n" + inner,
       431},
      {"17 KiB of header", post + big_field + "Content-Length: " + len + "\r\n\r\n" + inner, 431},
      {"10000 header fields", post + flood + "\r\n", 431},
      {"a target over 8 KiB",
       "GET /healthz?" + std::string(9000, 'a') + " HTTP/1.1\r\n" + host + "\r\n", 414},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawConnection conn(f.port());
    ASSERT_TRUE(conn.connected());
    conn.Send(c.bytes);  // may be cut short by the refusal
    const HttpAnswer answer = conn.Read(kPatience);
    ASSERT_TRUE(answer) << answer.error;
    EXPECT_EQ(answer.status, c.status) << answer.body;
    EXPECT_EQ(answer.Header("Content-Type"), "application/problem+json");
    EXPECT_EQ(answer.Header("Connection"), "close");
    const Json problem = Json::parse(answer.body, nullptr, false);
    ASSERT_TRUE(problem.is_object()) << answer.body;
    EXPECT_EQ(problem["status"], c.status);
    EXPECT_FALSE(problem["detail"].get<std::string>().empty());
    EXPECT_TRUE(conn.Closed(kPatience));
    EXPECT_LT(HealthSeconds(f), kAnswersAtOnce);
  }
  EXPECT_EQ(Stored(f), 0u);

  // Well-formed requests one after the other on one connection are each
  // answered, in order, on the same connection.
  RawConnection kept(f.port());
  kept.Send(Receipt(f, "first") + Receipt(f, "second"));
  const HttpAnswer first = kept.Read(kPatience), second = kept.Read(kPatience);
  EXPECT_EQ(first.status, 201) << first.body;
  EXPECT_EQ(second.status, 201) << second.body;
  EXPECT_EQ(Json::parse(second.body)["idempotency_key"], "second");
  EXPECT_EQ(Stored(f), 2u);
}

// A POST with neither Content-Length nor Transfer-Encoding has an empty
// body (RFC 9112 section 6.3): the bytes after its header are the next
// request on the connection. Give-up is whole so; a receipt or a decision
// gets a problem that names the content type and shows a body.
TEST(FrontDoor, APostWithoutALengthHasNoBody) {
  TempDir dir;
  Fiskald f(dir);
  const std::string host = "Host: " + HostOf(f) + "\r\n";
  struct Case {
    const char* what;
    std::string head;
    int status;
    const char* says;  // in the problem's detail; "" when it is no problem
  };
  const Case cases[] = {
      {"give-up", "POST /v1/printers/1/give-up HTTP/1.1\r\n" + host + "\r\n", 409, ""},
      {"a receipt", "POST /v1/receipts HTTP/1.1\r\n" + host + "Idempotency-Key: e\r\n\r\n", 400,
       "Content-Type: application/json and a receipt such as {"},
      {"a receipt that names its type",
       "POST /v1/receipts HTTP/1.1\r\n" + host +
           "Content-Type: text/plain\r\nIdempotency-Key: e\r\n\r\n",
       400, "or Content-Type: text/plain and the lines of a fiskal.txt"},
      {"a decision", "POST /v1/receipts/1/resolve HTTP/1.1\r\n" + host + "\r\n", 400,
       "Content-Type: application/json and {\"printed\": true}"},
      {"a chunked decision of no bytes",
       "POST /v1/receipts/1/resolve HTTP/1.1\r\n" + host +
           "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       400, "{\"printed\": false} when it did not"},
  };
  std::size_t stored = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawConnection conn(f.port());
    ASSERT_TRUE(conn.connected());
    std::string key = std::string("after-") + c.what;
    std::replace(key.begin(), key.end(), ' ', '-');
    conn.Send(c.head + Receipt(f, key));
    const HttpAnswer first = conn.Read(kPatience);
    ASSERT_TRUE(first) << first.error;
    EXPECT_EQ(first.status, c.status) << first.body;
    if (*c.says != '\0') {
      EXPECT_EQ(first.Header("Content-Type"), "application/problem+json");
      EXPECT_NE(Json::parse(first.body)["detail"].get<std::string>().find(c.says),
                std::string::npos)
          << first.body;
    }
    // The connection stays open, and what followed the header is a request.
    const HttpAnswer second = conn.Read(kPatience);
    ASSERT_TRUE(second) << second.error;
    EXPECT_EQ(second.status, 201) << second.body;
    EXPECT_EQ(Json::parse(second.body)["idempotency_key"], key);
    EXPECT_EQ(Stored(f), ++stored);
  }
}

// Behind every refusal that comes before the body is read, the body holds
// a whole second request: at the body's start, and at stream offset 4096.
// It is never taken as a request.
TEST(FrontDoor, NoRequestSmuggledBehindARefusal) {
  TempDir dir;
  testing::WriteAll(dir.File("token"), std::string(kToken) + "\n");
  ASSERT_EQ(::chmod(dir.File("token").c_str(), 0600), 0);
  Fiskald f(dir, {"--token-file", dir.File("token")});
  const std::string bearer = std::string("Bearer ") + kToken;
  struct Case {
    const char* what;
    Headers headers;  // of the outer request, beside Host, Content-Length and padding
    int status;
    bool declare_huge = false;  // declares 2 MiB instead of the body's length
  };
  const Case cases[] = {
      {"a foreign Origin",
       {{"Origin", "https://evil.example"}, {"Authorization", bearer},
        {"Content-Type", "text/plain"}, {"Idempotency-Key", "o"}},
       403},
      {"a foreign Host",
       {{"Authorization", bearer}, {"Content-Type", "text/plain"}, {"Idempotency-Key", "o"}},
       403},
      {"no token", {{"Content-Type", "text/plain"}, {"Idempotency-Key", "o"}}, 401},
      {"a body too large",
       {{"Authorization", bearer}, {"Content-Type", "text/plain"}, {"Idempotency-Key", "o"}},
       413, true},
      {"another media type",
       {{"Authorization", bearer}, {"Content-Type", "application/x-www-form-urlencoded"},
        {"Idempotency-Key", "o"}},
       415},
  };
  int n = 0;
  for (const Case& c : cases) {
    for (const bool at_4096 : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (at_4096 ? ", at offset 4096" : ", at offset 0"));
      const std::string inner = Receipt(f, "smuggled-" + std::to_string(++n), true);
      const std::string host =
          std::string(c.what) == "a foreign Host" ? "rebound.example:" + std::to_string(f.port())
                                                  : HostOf(f);
      // Padding in the body puts the inner request at stream offset 4096.
      auto outer = [&](std::size_t pad) {
        Headers h = {{"Host", host}};
        h.insert(h.end(), c.headers.begin(), c.headers.end());
        const std::string body = std::string(pad, 'p') + inner;
        h.emplace_back("Content-Length", c.declare_huge ? "2097152" : std::to_string(body.size()));
        return RequestBytes("POST", "/v1/receipts", h, body);
      };
      std::string bytes = outer(0);
      if (at_4096) {
        std::size_t pad = 0;
        while (bytes.size() - inner.size() != 4096) {
          pad += 4096 - (bytes.size() - inner.size());  // the length field grows with it
          bytes = outer(pad);
        }
        ASSERT_EQ(bytes.find("POST /v1/receipts", 1), 4096u);
      }
      RawConnection conn(f.port());
      conn.Send(bytes);
      const HttpAnswer answer = conn.Read(kPatience);
      ASSERT_TRUE(answer) << answer.error;
      EXPECT_EQ(answer.status, c.status) << answer.body;
      EXPECT_TRUE(conn.Closed(kPatience));
    }
  }
  EXPECT_EQ(Stored(f, true), 0u);
  EXPECT_LT(HealthSeconds(f), kAnswersAtOnce);
}

// Clients that take their time hold a connection each, never a thread:
// fiskald stays quick to everyone else.
TEST(FrontDoor, SlowAndIdleClientsDoNotDeafenIt) {
  RaiseOpenFiles();
  TempDir dir;
  Fiskald f(dir);
  std::vector<std::unique_ptr<RawConnection>> idle, slow;
  for (int i = 0; i < 1000; ++i) {
    idle.push_back(std::make_unique<RawConnection>(f.port()));
    ASSERT_TRUE(idle.back()->connected()) << i;
  }
  const std::string request = "GET /healthz HTTP/1.1\r\nHost: " + HostOf(f) + "\r\n";
  for (int i = 0; i < 300; ++i) {
    slow.push_back(std::make_unique<RawConnection>(f.port()));
    ASSERT_TRUE(slow.back()->connected()) << i;
  }
  // One header byte from each slow client per round, then a look at
  // /healthz.
  double slowest = 0;
  for (std::size_t round = 0; round < 8; ++round) {
    for (auto& c : slow) c->Send(request.substr(round, 1));
    slowest = std::max(slowest, HealthSeconds(f));
  }
  EXPECT_LT(slowest, kAnswersAtOnce);
  // They are all still open: a connection waits 60 s for its first request.
  EXPECT_FALSE(idle.front()->Closed(0.2));
  EXPECT_FALSE(slow.front()->Closed(0.2));
}

// With few descriptors, connections get what is left beside those kept
// for the journal and the ports: a flood of them is turned away at the
// door, and a receipt still gets its port and its lock.
TEST(FrontDoor, AConnectionFloodNeverTakesThePortsDescriptors) {
  RaiseOpenFiles();
  TempDir dir;
  testing::Pty printer;
  testing::PointPortsAt(1, printer.path());
  Fiskald f(dir, {}, {"/usr/bin/prlimit", "--nofile=400:400", "--"});
  EXPECT_NE(f.process().ErrSoFar().find("only 144 connections at once fit"), std::string::npos)
      << f.process().ErrSoFar();
  std::vector<std::unique_ptr<RawConnection>> flood;
  flood.reserve(600);
  for (int i = 0; i < 600; ++i) flood.push_back(std::make_unique<RawConnection>(f.port()));
  // The connections beyond 144 were closed at once; those kept are still
  // open. Some, closed, leave room for the receipt's own connection.
  std::size_t closed = 0;
  for (auto& c : flood) closed += c->Closed(0.05) ? 1 : 0;
  EXPECT_GE(closed, 600u - 144u);
  flood.resize(100);
  // fiskald frees a kept connection's room once it reads the close, a
  // moment later on a busy machine: until then a new connection is turned
  // away at the door, and the receipt is posted again (under its key).
  HttpAnswer posted;
  const double deadline = testing::MonotonicNow() + kPatience;
  do {
    posted = f.Post("k", R"({"port": 1, "items": [{"name": "ROLL", "tax": "1",
        "quantity": "1", "price": "1"}]})", "application/json", "?wait=60");
  } while (posted.status == 0 && testing::MonotonicNow() < deadline && usleep(50'000) == 0);
  ASSERT_EQ(posted.status, 201) << posted.error << posted.body;
  EXPECT_EQ(Json::parse(posted.body)["state"], "printed") << posted.body;
  testing::PointPortsAt(0, "");
}

// A kept connection that stays quiet is closed after 5 s; a quiet
// connection costs nothing meanwhile.
TEST(FrontDoor, QuietKeptConnectionsAreClosed) {
  TempDir dir;
  Fiskald f(dir);
  RawConnection conn(f.port());
  conn.Send("GET /healthz HTTP/1.1\r\nHost: " + HostOf(f) + "\r\n\r\n");
  EXPECT_EQ(conn.Read(kPatience).status, 200);
  const double start = testing::MonotonicNow();
  EXPECT_TRUE(conn.Closed(kPatience));
  EXPECT_GE(testing::MonotonicNow() - start, 4.9);  // not before its 5 s
}

// Floods of oversized headers and bodies take memory only while they
// last: it goes back to where it was.
TEST(FrontDoor, MemoryComesBackAfterFloods) {
#ifdef FISKAL_SANITIZED
  GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine; the plain build measures it";
#endif
  RaiseOpenFiles();
  TempDir dir;
  Fiskald f(dir);
  const std::string post = "POST /v1/receipts HTTP/1.1\r\nHost: " + HostOf(f) +
                           "\r\nContent-Type: text/plain\r\nIdempotency-Key: k\r\n";
  std::string big_header = post;
  for (int i = 0; i < 15; ++i) big_header += "X-" + std::to_string(i) + ": " + std::string(1000, 'h') + "\r\n";
  std::string chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 16; ++i) chunked += "10000\r\n" + std::string(0x10000, 'b') + "\r\n";
  chunked += "100\r\n" + std::string(0x100, 'b') + "\r\n0\r\n\r\n";  // just past 1 MiB

  auto round = [&] {
    std::vector<std::unique_ptr<RawConnection>> conns;
    std::vector<std::thread> senders;
    for (int i = 0; i < 40; ++i) {
      conns.push_back(std::make_unique<RawConnection>(f.port()));
      // Bodies are sent side by side, so that they are read at once.
      senders.emplace_back([&, c = conns.back().get(), i] {
        c->Send(i % 2 == 0 ? chunked : big_header + std::string(4000, 'x'));
      });
    }
    for (auto& t : senders) t.join();
    for (auto& c : conns) {
      const HttpAnswer a = c->Read(kPatience);
      EXPECT_TRUE(a.status == 413 || a.status == 431) << a.status << a.error;
    }
  };
  round();  // the first round grows what any use grows
  const long start = f.ResidentKib();
  for (int i = 0; i < 20; ++i) round();
  const long end = f.ResidentKib();
  EXPECT_LT(end - start, 10 * 1024) << "from " << start << " KiB to " << end << " KiB";
  EXPECT_LT(HealthSeconds(f), kAnswersAtOnce);
}

// Huge refused JSON bodies and lists of large receipts take memory only
// while they are answered: it goes back to where it was.
TEST(FrontDoor, MemoryComesBackAfterHugeRefusedBodiesAndLargeLists) {
#ifdef FISKAL_SANITIZED
  GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine; the plain build measures it";
#endif
  RaiseOpenFiles();
  TempDir dir;
  Fiskald f(dir);
  const std::string huge = JsonOfItems(10000);
  ASSERT_LT(huge.size(), std::size_t{1} << 20);
  // Each with a key of its own: they are read at once.
  std::vector<std::string> posts;
  posts.reserve(20);
  for (int i = 0; i < 20; ++i) {
    posts.push_back(RequestBytes("POST", "/v1/receipts",
                                 {{"Host", HostOf(f)},
                                  {"Content-Type", "application/json"},
                                  {"Idempotency-Key", "huge-" + std::to_string(i)},
                                  {"Content-Length", std::to_string(huge.size())}},
                                 huge));
  }
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(
        f.Post("large-" + std::to_string(i), LargeReceipt(std::size_t{900} * 1024), "text/plain")
            .status,
        201);
  }
  auto round = [&] {
    std::vector<std::unique_ptr<RawConnection>> conns;
    std::vector<std::thread> senders;
    for (int i = 0; i < 20; ++i) {
      conns.push_back(std::make_unique<RawConnection>(f.port()));
      senders.emplace_back([&, c = conns.back().get(), i] { c->Send(posts[i]); });
    }
    for (auto& t : senders) t.join();
    for (auto& c : conns) {
      const HttpAnswer a = c->Read(kPatience);
      EXPECT_EQ(a.status, 422) << a.status << a.error;
      EXPECT_NE(a.body.find("items[255]: a receipt holds at most 255 items"), std::string::npos);
    }
    const HttpAnswer list = f.Client().Get("/v1/receipts?limit=1000");
    EXPECT_EQ(list.status, 200) << list.error;
  };
  round();  // the first round grows what any use grows
  const long start = f.ResidentKib();
  for (int i = 0; i < 20; ++i) round();
  const long end = f.ResidentKib();
  EXPECT_LT(end - start, 10 * 1024) << "from " << start << " KiB to " << end << " KiB";
  EXPECT_EQ(Stored(f), 6u);
  EXPECT_LT(HealthSeconds(f), kAnswersAtOnce);
}

// A list of large receipts comes in pages of a bounded size; following
// "next" gives every receipt once, newest first, in any state asked for.
TEST(FrontDoor, LargeListsComeInPages) {
  TempDir dir;
  Fiskald f(dir);
  // Large ones among small ones: 9 MiB in all.
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 18; ++i) {
    const HttpAnswer posted =
        f.Post("k" + std::to_string(i), i % 2 == 0 ? LargeReceipt((std::size_t{1} << 20) - 100)
                                                   : LargeReceipt(10),
               "text/plain");
    ASSERT_EQ(posted.status, 201) << posted.body;
    ids.insert(ids.begin(), Json::parse(posted.body)["id"].get<std::int64_t>());
  }
  struct Case {
    std::string first;
    std::size_t pages_at_least;
  };
  const Case cases[] = {
      {"/v1/receipts?limit=1000", 3},  // cut by size only
      {"/v1/receipts?limit=5", 4},     // by count, and by size where 5 do not fit
      {"/v1/receipts?limit=1", 18},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first);
    std::vector<std::int64_t> listed;
    std::size_t pages = 0;
    for (Json next = c.first; next.is_string(); ++pages) {
      ASSERT_LT(pages, 100u);
      const HttpAnswer a = f.Client().Get(next.get<std::string>());
      ASSERT_EQ(a.status, 200) << a.body;
      const Json page = Json::parse(a.body);
      ASSERT_FALSE(page["receipts"].empty());
      // 4 MiB, or one receipt however large.
      EXPECT_TRUE(a.body.size() <= (std::size_t{4} << 20) || page["receipts"].size() == 1)
          << a.body.size();
      for (const Json& r : page["receipts"]) listed.push_back(r["id"].get<std::int64_t>());
      next = page["next"];
      if (next.is_string()) {
        EXPECT_EQ(next.get<std::string>().rfind("/v1/receipts?before=" +
                                                    std::to_string(listed.back()) + "&limit=",
                                                0),
                  0u)
            << next;
      }
    }
    EXPECT_EQ(listed, ids);
    EXPECT_GE(pages, c.pages_at_least);
  }
  // The state is kept from page to page.
  const HttpAnswer none = f.Client().Get("/v1/receipts?state=in_doubt&limit=1");
  ASSERT_EQ(none.status, 200);
  EXPECT_EQ(Json::parse(none.body), Json::parse(R"({"receipts": [], "next": null})"));
  // The two oldest printed (receipts go out in turn): two pages of one.
  f.WaitFor(ids[ids.size() - 2], [](const Json& r) { return r["state"] == "printed"; });
  const HttpAnswer printed = f.Client().Get("/v1/receipts?state=printed&limit=1");
  ASSERT_EQ(printed.status, 200);
  EXPECT_NE(Json::parse(printed.body)["next"].get<std::string>().find("&state=printed"),
            std::string::npos);
  for (const char* bad : {"0", "-1", "01", "x", "9007199254740992", ""}) {
    const HttpAnswer a = f.Client().Get(std::string("/v1/receipts?before=") + bad);
    EXPECT_EQ(a.status, 400) << bad << a.body.substr(0, 300);
  }
}

// A decision is one member, "printed", true or false: anything else is
// refused where it begins, before the rest of the body is read.
TEST(FrontDoor, DecisionsAreRefusedWhereTheyGoWrong) {
  TempDir dir;
  Fiskald f(dir);
  const std::string junk = std::string(200000, '[') + "not JSON";
  struct Case {
    std::string body;
    const char* says;  // besides what a decision is
  };
  const Case cases[] = {
      {R"({"printed": true, "note": [)" + junk, ""},
      {R"({"printed": [)" + junk, ""},
      {"[" + junk, ""},
      {R"({"printed": "yes"})", ""},
      {R"({"printed": true, "printed": false})", "\"printed\" twice"},
      {R"({"printed": tru)", "not well-formed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 40));
    const HttpAnswer a = f.Client().Post("/v1/receipts/1/resolve", c.body, "application/json");
    EXPECT_EQ(a.status, 400) << a.body;
    const Json problem = Json::parse(a.body);
    const std::string detail = problem["detail"].get<std::string>();
    EXPECT_NE(detail.find(R"(the body must be {"printed": true} or {"printed": false})"),
              std::string::npos)
        << detail;
    EXPECT_NE(detail.find(c.says), std::string::npos) << detail;
  }
  EXPECT_LT(HealthSeconds(f), kAnswersAtOnce);
}

// A JSON body that names a member twice has two readings: refused.
TEST(FrontDoor, JsonWithAMemberTwiceIsRefused) {
  TempDir dir;
  Fiskald f(dir);
  const HttpAnswer a = f.Post("twice", R"({"port": 0, "port": 1, "items": []})");
  EXPECT_EQ(a.status, 400) << a.body;
  EXPECT_NE(a.body.find("\\\"port\\\" twice"), std::string::npos) << a.body;
  EXPECT_EQ(Stored(f), 0u);
}

// HTTPS with a certificate read again when it is renewed, and the names
// given with --server-name taken in Host and as the page's own origin. The
// files lie as the packaged unit has them (doc/guide-shop-admin.md): in a
// folder of mode 0750, the key 0640, so the service's group may read it.
TEST(FrontDoor, HttpsWithARenewedCertificate) {
  namespace asio = boost::asio;
  namespace http = boost::beast::http;
  TempDir dir;
  const std::string etc = dir.File("etc");
  ASSERT_EQ(::mkdir(etc.c_str(), 0750), 0);
  ASSERT_EQ(::chmod(etc.c_str(), 0750), 0);
  auto make_certificate = [&](const std::string& name, mode_t key_mode) {
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=" + name + " -addext subjectAltName=DNS:printer.shop.test -keyout '" +
        etc + "/new-key.pem' -out '" + etc + "/new-cert.pem' 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ASSERT_EQ(::chmod((etc + "/new-key.pem").c_str(), key_mode), 0);
    // Replaced whole, as a renewal does.
    ASSERT_EQ(std::rename((etc + "/new-key.pem").c_str(), (etc + "/key.pem").c_str()), 0);
    ASSERT_EQ(std::rename((etc + "/new-cert.pem").c_str(), (etc + "/cert.pem").c_str()), 0);
  };
  make_certificate("first", 0640);
  Fiskald f(dir, {"--tls-cert", etc + "/cert.pem", "--tls-key", etc + "/key.pem",
                  "--server-name", "printer.shop.test"});
  // One request over TLS: the answer's status and the certificate's name.
  auto get = [&](const std::string& path, const Headers& headers, std::string* subject) {
    asio::io_context io;
    asio::ssl::context context(asio::ssl::context::tls_client);
    context.set_verify_mode(asio::ssl::verify_none);
    asio::ssl::stream<asio::ip::tcp::socket> stream(io, context);
    stream.lowest_layer().connect({asio::ip::make_address("127.0.0.1"),
                                   static_cast<unsigned short>(f.port())});
    stream.handshake(asio::ssl::stream_base::client);
    X509* peer = SSL_get_peer_certificate(stream.native_handle());
    char name[256] = {};
    X509_NAME_oneline(X509_get_subject_name(peer), name, sizeof name);
    X509_free(peer);
    *subject = name;
    http::request<http::string_body> req(http::verb::get, path, 11);
    for (const auto& [k, v] : headers) req.set(k, v);
    req.set(http::field::connection, "close");
    http::write(stream, req);
    boost::beast::flat_buffer buffer;
    http::response<http::string_body> res;
    http::read(stream, buffer, res);
    return static_cast<int>(res.result_int());
  };
  const std::string port = std::to_string(f.port());
  std::string subject;
  EXPECT_EQ(get("/healthz", {{"Host", "127.0.0.1:" + port}}, &subject), 200);
  EXPECT_EQ(subject, "/CN=first");
  EXPECT_EQ(get("/v1/printers",
                {{"Host", "printer.shop.test:" + port},
                 {"Origin", "https://printer.shop.test:" + port}},
                &subject),
            200);
  EXPECT_EQ(get("/v1/printers",
                {{"Host", "printer.shop.test:" + port},
                 {"Origin", "http://printer.shop.test:" + port}},
                &subject),
            403);
  EXPECT_EQ(get("/healthz", {{"Host", "other.shop.test:" + port}}, &subject), 403);
  // Plain HTTP on the HTTPS port is never served (the TLS library may say
  // so in plain text), and the connection ends.
  RawConnection plain(f.port());
  plain.Send("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n");
  const HttpAnswer refused = plain.Read(kPatience);
  EXPECT_NE(refused.status, 200) << refused.body;
  EXPECT_TRUE(plain.Closed(kPatience));

  // Renewed: new connections get the new certificate, no restart.
  make_certificate("second", 0640);
  double deadline = testing::MonotonicNow() + kPatience;
  do {
    usleep(200'000);
    EXPECT_EQ(get("/healthz", {{"Host", "127.0.0.1:" + port}}, &subject), 200);
  } while (subject != "/CN=second" && testing::MonotonicNow() < deadline);
  EXPECT_EQ(subject, "/CN=second");

  // A renewal whose key other users may read is refused and said; the
  // certificate in use stays.
  make_certificate("third", 0644);
  const std::string refusal = "TLS key " + etc +
                              "/key.pem: other users may read it (mode 0644); take their "
                              "access away: chmod o= " + etc + "/key.pem";
  deadline = testing::MonotonicNow() + kPatience;
  do {
    usleep(200'000);
    EXPECT_EQ(get("/healthz", {{"Host", "127.0.0.1:" + port}}, &subject), 200);
    EXPECT_EQ(subject, "/CN=second");
  } while (f.process().ErrSoFar().find(refusal) == std::string::npos &&
           testing::MonotonicNow() < deadline);
  EXPECT_NE(f.process().ErrSoFar().find(refusal + " (0600, or 0640 with the service's group); "
                                                  "the certificate loaded before stays in use"),
            std::string::npos)
      << f.process().ErrSoFar();
}

}  // namespace
}  // namespace fiskal
