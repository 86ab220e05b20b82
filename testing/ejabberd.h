// TestEjabberd runs the system's ejabberd (its mod_mqtt) with the shipped
// examples/broker/ejabberd.yml filled in: its own folder for Mnesia, logs
// and HOME, no Erlang distribution at all (so no node name, cookie or
// epmd), a plain and a TLS listener on loopback ports the system gives,
// users made at each start. It keeps users and retained messages on disk,
// but MQTT sessions and queued messages in memory only: Restart() loses
// them. The VM ends with the test as mosquitto does.
//
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "testing/mqtt_broker.h"
#include "testing/temp_dir.h"

namespace fiskal::testing {

struct EjabberdOptions {
  // The users made, each with password(user): shops and "chain".
  std::vector<std::string> users = {"A", "B", "chain"};
  // The longest session expiry it grants, in ejabberd's words ("5
  // minutes"); empty: what examples/broker/ejabberd.yml says.
  std::string session_expiry;
};

class TestEjabberd : public MqttBroker {
 public:
  // Whether ejabberd is installed here.
  static bool Installed();
  // Makes its certificates, configuration and password files in the folder
  // "ejabberd" of `dir` and starts it; waits until its users are made and
  // its listeners take connections. The error names what failed, with its
  // log.
  static Status Start(const TempDir& dir, const EjabberdOptions& options,
                      std::unique_ptr<TestEjabberd>* broker);
  static std::unique_ptr<TestEjabberd> StartOrFail(const TempDir& dir,
                                                   const EjabberdOptions& options = {});

  ~TestEjabberd() override;  // kills it
  TestEjabberd(const TestEjabberd&) = delete;
  TestEjabberd& operator=(const TestEjabberd&) = delete;

  const char* kind() const override { return "ejabberd"; }
  std::string url() const override;  // mqtt://127.0.0.1:PORT, users and passwords
  std::string tls_url() const;       // mqtts://localhost:PORT, users and passwords
  MqttConnect As(const std::string& user, const std::string& client_id) const override;
  std::vector<std::string> FiskaldOptions(const std::string& shop,
                                          const std::string& user) const override;
  bool keeps_sessions() const override { return false; }
  // The CA that signed its server certificate.
  std::string ca_file() const;
  // A file holding password(user) and a newline, mode 0600, as
  // --broker-password-file takes it.
  std::string password_file(const std::string& user) const;
  // Seconds from its start until it took connections, the last time.
  double start_seconds() const { return start_seconds_; }

  pid_t pid() const { return pid_; }
  bool running() const override { return pid_ > 0; }
  std::string log() const override;
  Status Stop() override;
  void Kill() override;
  // Users and retained messages stay; sessions and queued messages are
  // gone.
  Status Restart() override;

 private:
  TestEjabberd(const TempDir& dir, const EjabberdOptions& options);
  Status MakeFiles();
  Status Launch();

  std::string dir_;
  EjabberdOptions options_;
  int port_ = 0;
  int tls_port_ = 0;
  pid_t pid_ = -1;
  double start_seconds_ = 0;
};

}  // namespace fiskal::testing
