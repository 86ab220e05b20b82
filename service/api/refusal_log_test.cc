#include "service/api/refusal_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fiskal::service {
namespace {

// A clock the test sets; nothing waits.
class SetClock : public Clock {
 public:
  double Now() override { return now; }
  Status Sleep(double seconds, StopFlag&) override {
    now += seconds;
    return Status::Ok();
  }
  double now = 1000;
};

// One line per kind and client a minute; the next line counts the ones
// left unsaid; another kind, status or client has lines of its own.
TEST(RefusalLog, OneLinePerKindAndClientAMinute) {
  SetClock clock;
  std::vector<std::string> lines;
  RefusalLog log(clock, [&](const std::string& line) { lines.push_back(line); });
  struct Step {
    double at;  // seconds from the start
    const char* client;
    int status;
    const char* kind;
    const char* line;  // nullptr: no line
  };
  const Step steps[] = {
      {0, "192.168.1.7", 403, "origin",
       "refused a request from 192.168.1.7 (GET /v1/printers): 403 no"},
      {1, "192.168.1.7", 403, "origin", nullptr},
      {2, "192.168.1.7", 403, "host",
       "refused a request from 192.168.1.7 (GET /v1/printers): 403 no"},
      {3, "192.168.1.7", 401, "token",
       "refused a request from 192.168.1.7 (GET /v1/printers): 401 no"},
      {4, "192.168.1.8", 403, "origin",
       "refused a request from 192.168.1.8 (GET /v1/printers): 403 no"},
      {59.9, "192.168.1.7", 403, "origin", nullptr},
      {60, "192.168.1.7", 403, "origin",
       "refused a request from 192.168.1.7 (GET /v1/printers): 403 no [2 more like it from this "
       "client since the last line]"},
      {61, "192.168.1.7", 403, "origin", nullptr},
      {200, "192.168.1.7", 403, "origin",
       "refused a request from 192.168.1.7 (GET /v1/printers): 403 no [1 more like it from this "
       "client since the last line]"},
  };
  const double start = clock.now;
  for (const Step& s : steps) {
    SCOPED_TRACE(std::to_string(s.at) + " " + s.client + " " + s.kind);
    clock.now = start + s.at;
    lines.clear();
    log.Refused(s.client, s.status, s.kind, "GET /v1/printers", "no");
    if (s.line == nullptr) {
      EXPECT_TRUE(lines.empty()) << lines.front();
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0], s.line);
    }
  }
}

// The clients remembered are bounded: past the bound, a new client still
// gets its line, and memory does not grow.
TEST(RefusalLog, RemembersABoundedNumberOfClients) {
  SetClock clock;
  std::size_t lines = 0;
  RefusalLog log(clock, [&](const std::string&) { ++lines; });
  const std::size_t clients = RefusalLog::kRemembered * 3;
  for (std::size_t i = 0; i < clients; ++i) {
    log.Refused("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), 400,
                "front door", "", "malformed");
  }
  EXPECT_EQ(lines, clients);
  // The newest are still remembered, so they stay quiet.
  log.Refused("10.0." + std::to_string((clients - 1) / 256) + "." +
                  std::to_string((clients - 1) % 256),
              400, "front door", "", "malformed");
  EXPECT_EQ(lines, clients);
  // A request line is not required.
  std::string line;
  RefusalLog other(clock, [&](const std::string& l) { line = l; });
  other.Refused("::1", 408, "front door", "", "too slow");
  EXPECT_EQ(line, "refused a request from ::1: 408 too slow");
}

}  // namespace
}  // namespace fiskal::service
