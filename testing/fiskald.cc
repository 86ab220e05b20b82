#include "testing/fiskald.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace fiskal::testing {

namespace {

void Nap() { usleep(20'000); }

}  // namespace

Fiskald::Fiskald(const TempDir& dir, std::vector<std::string> extra,
                 std::vector<std::string> launcher,
                 std::optional<FiskaldTestPoints> test_build)
    : dir_(dir),
      extra_(std::move(extra)),
      launcher_(std::move(launcher)),
      test_build_(std::move(test_build)) {
  Start();
}

void Fiskald::Start() {
  std::vector<std::string> argv = launcher_;
  if (test_build_) {
    // The points reach the build made for tests through its environment,
    // set for it alone.
    argv.emplace_back("/usr/bin/env");
    if (test_build_->hold_seconds) {
      std::ostringstream seconds;
      seconds << *test_build_->hold_seconds;
      argv.push_back("FISKALD_TEST_HOLD_SECONDS=" + seconds.str());
    }
    if (!test_build_->stop_in_arrival.empty()) {
      argv.push_back("FISKALD_TEST_STOP_IN_ARRIVAL=" + test_build_->stop_in_arrival);
    }
    argv.emplace_back(FISKALD_TEST_BUILD_BINARY);
  } else {
    argv.emplace_back(FISKALD_BINARY);
  }
  for (const char* arg : {"--listen", "127.0.0.1:0", "--journal"}) {
    argv.emplace_back(arg);
  }
  argv.push_back(dir_.File("fiskald.db"));
  argv.insert(argv.end(), extra_.begin(), extra_.end());
  process_ = std::make_unique<Process>(argv, dir_.path());
  const std::string marker = "://127.0.0.1:";
  const double deadline = MonotonicNow() + kPatience;
  for (;;) {
    const std::string err = process_->ErrSoFar();
    const std::size_t listening = err.find("listening on http");
    const std::size_t at = err.find(marker, listening == std::string::npos ? 0 : listening);
    if (listening != std::string::npos && at != std::string::npos &&
        err.find(' ', at + marker.size()) != std::string::npos) {
      port_ = std::stoi(err.substr(at + marker.size()));
      return;
    }
    ASSERT_LT(MonotonicNow(), deadline) << "fiskald did not start: " << err;
    Nap();
  }
}

ProcessResult Fiskald::Stop(int signal) {
  process_->Signal(signal);
  return process_->Wait(kPatience * 3);
}

void Fiskald::Kill() {
  process_->Signal(SIGKILL);
  process_->Wait();
}

long Fiskald::ResidentKib() const {
  std::ifstream status("/proc/" + std::to_string(process_->pid()) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

HttpAnswer Fiskald::Post(const std::string& key, const std::string& body, const std::string& type,
                         const std::string& query) {
  Headers headers;
  if (!key.empty()) headers.emplace_back("Idempotency-Key", key);
  return Client().Post("/v1/receipts" + query, body, type, headers);
}

nlohmann::json Fiskald::Get(std::int64_t id, const std::string& query) {
  const HttpAnswer res = Client().Get("/v1/receipts/" + std::to_string(id) + query);
  EXPECT_TRUE(res && res.status == 200) << res.status << " " << res.error;
  return res ? nlohmann::json::parse(res.body) : nlohmann::json();
}

nlohmann::json Fiskald::WaitFor(std::int64_t id,
                                const std::function<bool(const nlohmann::json&)>& done) {
  const double deadline = MonotonicNow() + kPatience;
  for (;;) {
    nlohmann::json r = Get(id);
    if (done(r) || MonotonicNow() > deadline) return r;
    Nap();
  }
}

}  // namespace fiskal::testing
