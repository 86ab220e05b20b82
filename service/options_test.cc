#include "service/options.h"

#include <gtest/gtest.h>

#include <cstring>

namespace fiskal::service {
namespace {

TEST(Options, CommandLine) {
  struct Case {
    std::vector<std::string> args;
    const char* refused;  // nullptr: taken
  };
  const Case cases[] = {
      {{}, nullptr},
      {{"--port", "1=/dev/ttyUSB0", "--port", "9=/dev/serial/by-id/x"}, nullptr},
      {{"--port", "0=/dev/null"}, "not a port and its device"},
      {{"--port", "10=/dev/x"}, "not a port and its device"},
      {{"--port", "1="}, "not a port and its device"},
      {{"--port", "1"}, "not a port and its device"},
      {{"--port", "1=/a", "--port", "1=/b"}, "given twice"},
      {{"--tls-cert", "c.pem", "--tls-key", "k.pem"}, nullptr},
      {{"--tls-cert", "c.pem"}, "needs --tls-key"},
      {{"--tls-key", "k.pem"}, "needs --tls-cert"},
      {{"--server-name", "Printer.Shop.example"}, nullptr},
      {{"--server-name", "192.168.1.5"}, "not a DNS name"},
      {{"--server-name", "a..b"}, "not a DNS name"},
      {{"--server-name", "*.shop.example"}, "not a DNS name"},
      {{"--listen", "0.0.0.0:8470"}, "give --token-file too"},
      {{"--allow-origin", "*"}, "no wildcard"},
      {{"--bogus"}, "unexpected argument"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + " " + c.args.back());
    Options o;
    const Status s = ParseOptions(c.args, &o);
    if (c.refused == nullptr) {
      EXPECT_TRUE(s.ok()) << s.message();
    } else {
      ASSERT_FALSE(s.ok());
      EXPECT_NE(s.message().find(c.refused), std::string::npos) << s.message();
    }
  }
  Options o;
  ASSERT_TRUE(ParseOptions({"--server-name", "Printer.Shop.example"}, &o).ok());
  EXPECT_EQ(o.server_names, std::vector<std::string>{"printer.shop.example"});
}

// Only the ports given are printed on: --port first, then FISKAL_COM<n>
// when set and not empty; no default device.
TEST(Options, ConfiguredPortsOnly) {
  const std::map<std::string, std::string> env = {
      {"FISKAL_COM1", "/dev/ttyUSB0"}, {"FISKAL_COM2", ""}, {"FISKAL_COM3", "/dev/ttyACM0"}};
  auto getenv = [&](const char* name) -> const char* {
    const auto at = env.find(name);
    return at == env.end() ? nullptr : at->second.c_str();
  };
  Options o;
  ASSERT_TRUE(ParseOptions({"--port", "3=/dev/serial/by-id/printer", "--port", "5=/tmp/pts"}, &o)
                  .ok());
  const std::map<int, std::string> want = {
      {1, "/dev/ttyUSB0"}, {3, "/dev/serial/by-id/printer"}, {5, "/tmp/pts"}};
  EXPECT_EQ(ConfiguredPorts(o, getenv), want);
  EXPECT_TRUE(ConfiguredPorts(Options{}, [](const char*) { return nullptr; }).empty());
}

}  // namespace
}  // namespace fiskal::service
