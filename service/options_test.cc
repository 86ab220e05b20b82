#include "service/options.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstring>
#include <map>

#include "service/broker/broker_rules.h"
#include "service/os/private_file.h"
#include "testing/temp_dir.h"

namespace fiskal::service {
namespace {

TEST(Options, CommandLine) {
  struct Case {
    std::vector<std::string> args;
    const char* refused;  // nullptr: taken
  };
  const Case cases[] = {
      {{}, nullptr},
      {{"--port", "1=/dev/pts/7", "--port", "9=/tmp/pts-link"}, nullptr},
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
      {{"--hold-minutes", "0"}, nullptr},
      {{"--hold-minutes", "1440"}, nullptr},
      {{"--hold-minutes", "1441"}, "from 0 to 1440"},
      {{"--hold-minutes", "-1"}, "from 0 to 1440"},
      {{"--hold-minutes", "5m"}, "from 0 to 1440"},
      {{"--log-limit", "64K"}, nullptr},
      {{"--log-limit", "65536"}, nullptr},
      {{"--log-limit", "1024M"}, nullptr},
      {{"--log-limit", "65535"}, "a size from 64K to 1024M"},
      {{"--log-limit", "1025m"}, "a size from 64K to 1024M"},
      {{"--log-limit", "1G"}, "a size from 64K to 1024M"},
      {{"--log-limit", "M"}, "a size from 64K to 1024M"},
      {{"--log-limit", "-1M"}, "a size from 64K to 1024M"},
      {{"--log-limit", "18014398509481984K"}, "a size from 64K to 1024M"},
      {{"--broker", "mqtt://broker.chain.example", "--shop", "shop-12.a_b"}, nullptr},
      {{"--broker", "mqtts://[::1]:8883", "--shop", "A", "--broker-ca", "ca.pem", "--broker-cert",
        "c.pem", "--broker-key", "k.pem", "--broker-session-days", "30"},
       nullptr},
      {{"--broker", "mqtt://h:1883", "--shop", "A", "--broker-user", "u",
        "--broker-password-file", "p"},
       nullptr},
      {{"--broker", "mqtt://h"}, "needs --shop"},
      {{"--shop", "A"}, "need --broker"},
      {{"--broker", "http://h", "--shop", "A"}, "mqtt://HOST"},
      {{"--broker", "mqtt://h:0", "--shop", "A"}, "1 to 65535"},
      {{"--broker", "mqtt://h:", "--shop", "A"}, "1 to 65535"},
      {{"--broker", "mqtt://h:+1", "--shop", "A"}, "1 to 65535"},
      {{"--broker", "mqtt://h/path", "--shop", "A"}, "without a path"},
      {{"--broker", "mqtt://h:1883/", "--shop", "A"}, nullptr},
      {{"--broker", "mqtt://h:1883//", "--shop", "A"}, "without a path"},
      {{"--broker", "mqtt://h:1883/x", "--shop", "A"}, "without a path"},
      {{"--broker", "mqtt://h//", "--shop", "A"}, "without a path"},
      {{"--broker", "mqtt://u@h", "--shop", "A"}, "without a path"},
      {{"--broker", "mqtt://h", "--shop", "a/b"}, "1 to 64 of"},
      {{"--broker", "mqtt://h", "--shop", "+"}, "1 to 64 of"},
      {{"--broker", "mqtt://h", "--shop", std::string(65, 'x')}, "1 to 64 of"},
      {{"--broker", "mqtt://h", "--shop", "A", "--broker-ca", "ca.pem"}, "not encrypted"},
      {{"--broker", "mqtts://h", "--shop", "A", "--broker-cert", "c.pem"}, "needs --broker-key"},
      {{"--broker", "mqtt://h", "--shop", "A", "--broker-user", "u"}, "needs --broker-password"},
      {{"--broker", "mqtt://h", "--shop", "A", "--broker-session-days", "31"}, "1 to 30"},
      {{"--broker", "mqtt://h", "--shop", "A", "--broker-sesion-days", "3"}, "unexpected"},
      {{"--install-service", "--port", "1=\\\\.\\COM3"}, nullptr},
      {{"--install-service", "--listen", "0.0.0.0:8470"}, "give --token-file too"},
      {{"--install-service", "--bogus"}, "unexpected argument"},
      {{"--install-service", "--version"}, "cannot be started with --help"},
      {{"--uninstall-service"}, nullptr},
      {{"--uninstall-service", "--port", "1=COM3"}, "takes no other argument"},
      {{"--install-service", "--uninstall-service"}, "only one of"},
      {{"--as-service", "--install-service"}, "only one of"},
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
  EXPECT_EQ(o.hold_minutes, 15);
  EXPECT_EQ(o.log_limit, 10485760u);
  ASSERT_TRUE(ParseOptions({"--log-limit", "10m"}, &o).ok());
  EXPECT_EQ(o.log_limit, 10485760u);
  ASSERT_TRUE(ParseOptions({"--log-limit", "100000"}, &o).ok());
  EXPECT_EQ(o.log_limit, 100000u);
  ASSERT_TRUE(ParseOptions({"--server-name", "Printer.Shop.example"}, &o).ok());
  EXPECT_EQ(o.server_names, std::vector<std::string>{"printer.shop.example"});
  ASSERT_TRUE(ParseOptions({"--broker", "mqtt://h", "--shop", "A"}, &o).ok());
  EXPECT_EQ(o.broker_session_days, 7);
  EXPECT_EQ(o.service, ServiceAction::kNone);
  EXPECT_TRUE(o.journal.empty());  // the system's default
}

// The service is started with the arguments it was installed with, in
// their order, wherever --install-service stood among them.
TEST(Options, TheServiceKeepsTheOtherArguments) {
  Options o;
  ASSERT_TRUE(ParseOptions({"--port", "1=\\\\.\\COM3", "--install-service", "--journal",
                            "D:\\shop data\\fiskald.db"},
                           &o)
                  .ok());
  EXPECT_EQ(o.service, ServiceAction::kInstall);
  const std::vector<std::string> want = {"--port", "1=\\\\.\\COM3", "--journal",
                                         "D:\\shop data\\fiskald.db"};
  EXPECT_EQ(o.service_arguments, want);
  EXPECT_EQ(o.journal, "D:\\shop data\\fiskald.db");
  ASSERT_TRUE(ParseOptions({"--as-service", "--hold-minutes", "5"}, &o).ok());
  EXPECT_EQ(o.service, ServiceAction::kRun);
  EXPECT_TRUE(o.service_arguments.empty());
}

// The ports the start line names, from --port and the environment.
TEST(Options, TheStartLineNamesThePorts) {
  struct Case {
    std::vector<std::string> args;
    std::map<std::string, std::string> environment;
    const char* line;
  };
  const Case cases[] = {
      {{}, {}, "port 0 log-only, no serial port (give --port N=DEVICE or set FISKAL_COM1..9)"},
      {{}, {{"FISKAL_COM1", "/dev/pts/7"}, {"FISKAL_COM2", ""}},
       "port 1 /dev/pts/7, port 0 log-only"},
      {{"--port", "3=/dev/pts/8"}, {{"FISKAL_COM3", "/absent/com3"}, {"FISKAL_COM9", "/tmp/c9"}},
       "port 3 /dev/pts/8, port 9 /tmp/c9, port 0 log-only"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Options o;
    ASSERT_TRUE(ParseOptions(c.args, &o).ok());
    const auto ports = ConfiguredPorts(o, [&](const char* name) -> const char* {
      const auto it = c.environment.find(name);
      return it == c.environment.end() ? nullptr : it->second.c_str();
    });
    EXPECT_EQ(DescribePorts(ports), c.line);
  }
}

// The library's address of a broker's URL.
TEST(Options, BrokerAddresses) {
  const std::pair<const char*, const char*> cases[] = {
      {"mqtt://broker.example", "tcp://broker.example:1883"},
      {"mqtts://broker.example", "ssl://broker.example:8883"},
      {"mqtt://127.0.0.1:2000", "tcp://127.0.0.1:2000"},
      {"mqtts://[::1]:8884", "ssl://[::1]:8884"},
      {"mqtts://[::1]", "ssl://[::1]:8883"},
      {"mqtt://broker.example:2000/", "tcp://broker.example:2000"},
      {"mqtts://broker.example/", "ssl://broker.example:8883"},
      {"mqtts://[::1]:8884/", "ssl://[::1]:8884"},
  };
  for (const auto& [url, address] : cases) {
    std::string got;
    ASSERT_TRUE(BrokerAddress(url, &got).ok()) << url;
    EXPECT_EQ(got, address);
  }
}

#ifndef _WIN32
// The secret files other users may read are refused, by the token file's
// rule (on Windows, private_file-win32.cc reads the access list instead):
// the owner's and the group's modes are taken (the packaged unit's keys are
// root:fiskald 0640), any access for others is refused with the mode and
// the chmod that mends it.
TEST(Options, SecretFilesArePrivate) {
  testing::TempDir dir;
  testing::WriteAll(dir.File("p"), "s3cret\nsecond line\n");
  const std::string path = dir.File("p");
  const char* const whats[] = {"TLS key", "broker key", "broker password file"};
  struct Mode {
    mode_t mode;
    const char* refusal;  // nullptr: taken
  };
  const Mode modes[] = {
      {0600, nullptr},
      {0640, nullptr},
      {0644, ": other users may read it (mode 0644); take their access away: chmod o= "},
      {0604, ": other users may read it (mode 0604); take their access away: chmod o= "},
      {0602, ": other users may change it (mode 0602)"},
  };
  for (const char* what : whats) {
    for (const Mode& m : modes) {
      ASSERT_EQ(::chmod(path.c_str(), m.mode), 0);
      // The keys are read by the TLS library (checked only); the password
      // file's first line is read here.
      const bool password = std::string(what) == "broker password file";
      std::string line;
      const Status s = password ? ReadSecretLine(path, what, &line) : CheckPrivateFile(path, what);
      if (m.refusal == nullptr) {
        EXPECT_TRUE(s.ok()) << what << " " << std::oct << m.mode << ": " << s.message();
        if (password) {
          EXPECT_EQ(line, "s3cret");
        }
        continue;
      }
      ASSERT_FALSE(s.ok()) << what << " " << std::oct << m.mode;
      EXPECT_EQ(s.message().rfind(std::string(what) + " " + path + m.refusal, 0), 0u)
          << s.message();
    }
  }
}

// A secret fiskald's user cannot read says which user that is and how to
// hand the file over (as root every file can be read: skipped).
TEST(Options, SecretFilesFiskaldCannotReadSayHow) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  testing::TempDir dir;
  const std::string path = dir.File("key.pem");
  testing::WriteAll(path, "not a key\n");
  ASSERT_EQ(::chmod(path.c_str(), 0000), 0);
  const Status s = CheckPrivateFile(path, "TLS key");
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.message().find("TLS key " + path + ": cannot open: "), std::string::npos)
      << s.message();
  EXPECT_NE(s.message().find("fiskald runs as the user "), std::string::npos) << s.message();
  EXPECT_NE(s.message().find("chmod 640 " + path), std::string::npos) << s.message();
}
#else
// On Windows the file's access list decides: a file anyone but its owner,
// SYSTEM and the Administrators may read is refused, whichever secret it
// holds (the keys are only checked, the TLS library reads them; the token
// and the password are read here). A file made in a folder that lets
// everyone read (as Wine shows a file of mode 0644) is one.
TEST(Options, SecretFilesArePrivate) {
  testing::TempDir dir;
  const std::string path = dir.File("made");
  testing::WriteAll(path, "s3cret\n");
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  std::string name = path;
  ASSERT_EQ(GetNamedSecurityInfoA(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  LPSTR text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(
      descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
  const std::string access = text;
  LocalFree(text);
  LocalFree(descriptor);
  if (access.find(";WD)") == std::string::npos) {
    GTEST_SKIP() << "files here are not readable by everyone: " << access;
  }
  for (const std::string what : {"token file", "TLS key", "broker key", "broker password file"}) {
    const bool read = what == "token file" || what == "broker password file";
    std::string line;
    const Status s = read ? ReadSecretLine(path, what, &line) : CheckPrivateFile(path, what);
    ASSERT_FALSE(s.ok()) << what;
    EXPECT_NE(s.message().find(what + " " + path + ": everyone may read it"), std::string::npos)
        << s.message();
    EXPECT_NE(s.message().find("icacls"), std::string::npos) << s.message();
    EXPECT_TRUE(line.empty()) << what << ": " << line;
  }
}

// OpenSSL on Windows reads no certificate store of Windows': an mqtts://
// broker is taken only with its CA named; mqtt:// needs none.
TEST(Options, MqttsNeedsItsCaOnWindows) {
  struct Case {
    std::vector<std::string> args;
    const char* refusal;  // nullptr: taken
  };
  const Case cases[] = {
      {{"--broker", "mqtts://broker.test", "--shop", "s1"},
       "--broker mqtts://broker.test needs --broker-ca FILE on Windows"},
      {{"--broker", "mqtts://broker.test", "--shop", "s1", "--broker-ca", "ca.pem"}, nullptr},
      {{"--broker", "mqtt://broker.test", "--shop", "s1"}, nullptr},
  };
  for (const Case& c : cases) {
    Options o;
    const Status s = ParseOptions(c.args, &o);
    if (c.refusal == nullptr) {
      EXPECT_TRUE(s.ok()) << c.args[1] << ": " << s.message();
    } else {
      ASSERT_FALSE(s.ok()) << c.args[1];
      EXPECT_EQ(s.message().rfind(c.refusal, 0), 0u) << s.message();
    }
  }
}
#endif

// Only the ports given are printed on: --port first, then FISKAL_COM<n>
// when set and not empty; no default device.
TEST(Options, ConfiguredPortsOnly) {
  const std::map<std::string, std::string> env = {
      {"FISKAL_COM1", "/dev/pts/7"}, {"FISKAL_COM2", ""}, {"FISKAL_COM3", "/dev/pts/8"}};
  auto getenv = [&](const char* name) -> const char* {
    const auto at = env.find(name);
    return at == env.end() ? nullptr : at->second.c_str();
  };
  Options o;
  ASSERT_TRUE(ParseOptions({"--port", "3=/dev/pts/9", "--port", "5=/tmp/pts"}, &o)
                  .ok());
  const std::map<int, std::string> want = {
      {1, "/dev/pts/7"}, {3, "/dev/pts/9"}, {5, "/tmp/pts"}};
  EXPECT_EQ(ConfiguredPorts(o, getenv), want);
  EXPECT_TRUE(ConfiguredPorts(Options{}, [](const char*) { return nullptr; }).empty());
}

TEST(Options, ListenAddresses) {
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

}  // namespace
}  // namespace fiskal::service
