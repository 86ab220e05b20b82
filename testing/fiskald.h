// fiskald under test: the binary in a folder of its own, listening on a
// loopback port the system gives, with its journal there, the ports as the
// test binary points them (testing/ports.h), and HTTP to it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "testing/http_client.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace fiskal::testing {

// A guard against a hang, never a speed requirement.
inline constexpr double kPatience = 60;

// What the build of fiskald made for tests (testing/fiskald_for_tests.cc)
// is to do otherwise; a Fiskald given these starts that build, with them
// in its environment, and every other one the shipped fiskald.
struct FiskaldTestPoints {
  // A receipt waits this many seconds for its port, not --hold-minutes.
  std::optional<double> hold_seconds;
  // "before" or "after": it stops itself (SIGSTOP) at that point of an
  // arriving message's commit, saying so, to be killed there.
  std::string stop_in_arrival;
};

class Fiskald {
 public:
  // `launcher`: a command fiskald is started through (prlimit, say).
  explicit Fiskald(const TempDir& dir, std::vector<std::string> extra = {},
                   std::vector<std::string> launcher = {},
                   std::optional<FiskaldTestPoints> test_build = std::nullopt);

  // Starts it (again, on the same journal) and waits until it listens.
  void Start();
  // Which build the next Start starts: the one made for tests, with these
  // points, or (nullopt) the shipped one.
  void UseTestBuild(std::optional<FiskaldTestPoints> points) { test_build_ = std::move(points); }
  ProcessResult Stop(int signal = 15 /* SIGTERM */);
  void Kill();
  Process& process() { return *process_; }
  int port() const { return port_; }
  // Its resident memory now, in KiB (VmRSS).
  long ResidentKib() const;

  HttpClient Client() const { return HttpClient(port_, kPatience * 6); }
  HttpAnswer Post(const std::string& key, const std::string& body,
                  const std::string& type = "application/json", const std::string& query = "");
  nlohmann::json Get(std::int64_t id, const std::string& query = "");
  // Waits until `done` holds for the receipt.
  nlohmann::json WaitFor(std::int64_t id, const std::function<bool(const nlohmann::json&)>& done);

 private:
  const TempDir& dir_;
  std::vector<std::string> extra_;
  std::vector<std::string> launcher_;
  std::optional<FiskaldTestPoints> test_build_;
  std::unique_ptr<Process> process_;
  int port_ = 0;
};

}  // namespace fiskal::testing
