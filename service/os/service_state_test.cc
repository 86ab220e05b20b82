#include "service/os/service_state.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace fiskal::service {
namespace {

struct Recorded {
  std::vector<ServiceReport> reports;
  ServiceState state{[this](const ServiceReport& r) { reports.push_back(r); }};
};

// What the service manager sees, step by step, for the ways a run goes.
TEST(ServiceState, ReportsInTheOrderTheServiceManagerExpects) {
  struct Step {
    const char* what;
    std::function<bool(ServiceState&)> act;  // returns what Control returned, else false
    bool stops;
    ServiceStatus status;
    std::uint32_t accepted;
    std::uint32_t checkpoint;
  };
  auto control = [](ServiceControl c) {
    return [c](ServiceState& s) { return s.Control(static_cast<std::uint32_t>(c)); };
  };
  auto call = [](void (ServiceState::*f)()) {
    return [f](ServiceState& s) {
      (s.*f)();
      return false;
    };
  };
  const std::uint32_t both = kAcceptStop | kAcceptShutdown;
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"stopped by the service manager",
       {{"start", call(&ServiceState::Starting), false, ServiceStatus::kStartPending, 0, 1},
        {"still starting", call(&ServiceState::Starting), false, ServiceStatus::kStartPending, 0,
         2},
        {"listening", call(&ServiceState::Ready), false, ServiceStatus::kRunning, both, 0},
        {"starting again changes nothing", call(&ServiceState::Starting), false,
         ServiceStatus::kRunning, both, 0},
        {"interrogated", control(ServiceControl::kInterrogate), false, ServiceStatus::kRunning,
         both, 0},
        {"stop", control(ServiceControl::kStop), true, ServiceStatus::kStopPending, 0, 1},
        {"draining", call(&ServiceState::Stopping), false, ServiceStatus::kStopPending, 0, 2},
        {"still draining", call(&ServiceState::Stopping), false, ServiceStatus::kStopPending, 0,
         3},
        {"stop again", control(ServiceControl::kStop), false, ServiceStatus::kStopPending, 0, 3},
        {"shutdown too", control(ServiceControl::kShutdown), false, ServiceStatus::kStopPending,
         0, 3}}},
      {"the machine shuts down",
       {{"start", call(&ServiceState::Starting), false, ServiceStatus::kStartPending, 0, 1},
        {"listening", call(&ServiceState::Ready), false, ServiceStatus::kRunning, both, 0},
        {"shutdown", control(ServiceControl::kShutdown), true, ServiceStatus::kStopPending, 0,
         1}}},
      {"stopped while starting (a console event, say): never running",
       {{"start", call(&ServiceState::Starting), false, ServiceStatus::kStartPending, 0, 1},
        {"draining", call(&ServiceState::Stopping), false, ServiceStatus::kStopPending, 0, 1},
        {"listening too late", call(&ServiceState::Ready), false, ServiceStatus::kStopPending,
         0, 1}}},
      {"an unknown control changes nothing",
       {{"start", call(&ServiceState::Starting), false, ServiceStatus::kStartPending, 0, 1},
        {"pause", [](ServiceState& s) { return s.Control(2); }, false,
         ServiceStatus::kStartPending, 0, 1}}},
  };
  for (const Case& c : cases) {
    Recorded r;
    for (const Step& step : c.steps) {
      const std::size_t before = r.reports.size();
      EXPECT_EQ(step.act(r.state), step.stops) << c.name << ": " << step.what;
      ASSERT_EQ(r.reports.size(), before + 1) << c.name << ": " << step.what;
      const ServiceReport& got = r.reports.back();
      EXPECT_EQ(got.status, step.status) << c.name << ": " << step.what;
      EXPECT_EQ(got.accepted, step.accepted) << c.name << ": " << step.what;
      EXPECT_EQ(got.checkpoint, step.checkpoint) << c.name << ": " << step.what;
      const bool pending = got.status == ServiceStatus::kStartPending ||
                           got.status == ServiceStatus::kStopPending;
      EXPECT_EQ(got.wait_hint_ms, pending ? kPendingHintMs : 0u) << c.name << ": " << step.what;
    }
  }
}

TEST(ServiceState, StoppedCarriesTheExitStatusAndIsFinal) {
  for (int status : {0, 1}) {
    Recorded r;
    r.state.Starting();
    r.state.Stopped(status);
    ASSERT_EQ(r.reports.size(), 2u);
    EXPECT_EQ(r.reports.back().status, ServiceStatus::kStopped);
    EXPECT_EQ(r.reports.back().exit_code, status == 0 ? 0u : kServiceSpecificError);
    EXPECT_EQ(r.reports.back().service_code, static_cast<std::uint32_t>(status));
    EXPECT_EQ(r.reports.back().accepted, 0u);
    // Nothing after stopped moves it, and a stop control does not ask again.
    r.state.Stopping();
    r.state.Ready();
    r.state.Stopped(0);
    EXPECT_FALSE(r.state.Control(static_cast<std::uint32_t>(ServiceControl::kStop)));
    EXPECT_EQ(r.state.Current().status, ServiceStatus::kStopped);
    EXPECT_EQ(r.state.Current().service_code, static_cast<std::uint32_t>(status));
  }
}

TEST(ServiceState, WindowsCommandLineGivesTheArgumentsBack) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"C:\\fiskal\\fiskald.exe", "--as-service"}, "C:\\fiskal\\fiskald.exe --as-service"},
      {{"C:\\Program Files\\fiskal\\fiskald.exe"}, "\"C:\\Program Files\\fiskal\\fiskald.exe\""},
      {{"x", ""}, "x \"\""},
      {{"--journal", "D:\\shop data\\"}, "--journal \"D:\\shop data\\\\\""},
      {{"a\"b"}, "\"a\\\"b\""},
      {{"a\\\"b c"}, "\"a\\\\\\\"b c\""},
      {{"\\\\.\\COM3"}, "\\\\.\\COM3"},
      {{"tab\there"}, "\"tab\there\""},
      {{"--port", "1=\\\\.\\COM3", "--allow-origin", "http://localhost:3000"},
       "--port 1=\\\\.\\COM3 --allow-origin http://localhost:3000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WindowsCommandLine(c.args), c.line);
#ifdef _WIN32
    // The system's own parsing gives the arguments back (after a program
    // name, which it reads by other rules).
    const std::string line = "fiskald.exe " + WindowsCommandLine(c.args);
    std::wstring wide(line.begin(), line.end());
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(wide.c_str(), &count);
    ASSERT_NE(argv, nullptr);
    std::vector<std::string> back;
    for (int i = 1; i < count; ++i) {
      std::wstring w = argv[i];
      back.emplace_back(w.begin(), w.end());
    }
    LocalFree(argv);
    EXPECT_EQ(back, c.args) << line;
#endif
  }
}

}  // namespace
}  // namespace fiskal::service
