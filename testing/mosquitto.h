// TestBroker runs the system's mosquitto in the test's folder with
// certificates made there by examples/certificates/make-certs.sh, on
// loopback ports the system gives: a plain listener open to anyone, a TLS
// listener that takes clients by their certificate's CN (shop S may use
// fiskal/S/# only, "chain" fiskal/#: the shipped
// examples/broker/mosquitto.conf and fiskal.acl, filled in), and on
// request a listener that takes a user name and password with the same
// rights (the same fiskal.acl). Its sessions and queued messages are kept
// on disk, so Restart() finds them again. The broker ends with the test:
// the destructor kills it, and so does the test binary's end.
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

struct BrokerOptions {
  // A third listener taking user name and password (the users are the
  // names in `clients`, see TestBroker::password()); no anonymous clients
  // there. Only where mosquitto_passwd is installed: see HasPasswords().
  bool password_listener = false;
  // The TLS listener shows the server certificate of the other CA, one the
  // clients given ca_file() do not trust.
  bool other_ca_server = false;
  // The names that get a client certificate (its CN) and, with the
  // password listener, a user.
  std::vector<std::string> clients = {"A", "B", "chain"};
  // Lines for the configuration: the broker's own settings, not a
  // listener's (they follow the shipped example's listener, which takes no
  // more of them): max_queued_messages 10, say.
  std::vector<std::string> extra_config;
};

class TestBroker : public MqttBroker {
 public:
  // Makes the certificates and the configuration in the folder "broker"
  // of `dir` (so one broker to a folder) and starts the broker; the error
  // names what failed, with the broker's log.
  static Status Start(const TempDir& dir, const BrokerOptions& options,
                      std::unique_ptr<TestBroker>* broker);
  // The same, throwing std::runtime_error (which fails the test) when it
  // cannot.
  static std::unique_ptr<TestBroker> StartOrFail(const TempDir& dir,
                                                 const BrokerOptions& options = {});
  // Whether the password listener can be had here.
  static bool HasPasswords();

  ~TestBroker() override;  // kills the broker
  TestBroker(const TestBroker&) = delete;
  TestBroker& operator=(const TestBroker&) = delete;

  const char* kind() const override { return "mosquitto"; }
  std::string url() const override;  // mqtt://127.0.0.1:PORT, anonymous, no access list
  MqttConnect As(const std::string& user, const std::string& client_id) const override;
  std::vector<std::string> FiskaldOptions(const std::string& shop,
                                          const std::string& user) const override;
  bool keeps_sessions() const override { return true; }
  std::string tls_url() const;       // mqtts://localhost:PORT
  std::string password_url() const;  // mqtt://127.0.0.1:PORT; empty without that listener
  int port() const { return port_; }
  int tls_port() const { return tls_port_; }

  // PEM files: the CA that signed the server's and the clients'
  // certificates; a client's certificate and key ("A", "B", "chain"), as
  // make-certs.sh names them.
  std::string ca_file() const;
  std::string cert_file(const std::string& name) const;
  std::string key_file(const std::string& name) const;
  // password(user): the password of a user of the password listener.

  pid_t pid() const { return pid_; }
  bool running() const override { return pid_ > 0; }
  std::string log() const override;

  // It saves its state on the way.
  Status Stop() override;
  // It saves its state soon after each change, but a change just
  // acknowledged may not be saved yet: a test that needs it kept uses
  // Stop().
  void Kill() override;
  // The same saved sessions and queued messages.
  Status Restart() override;

 private:
  TestBroker(const TempDir& dir, const BrokerOptions& options);
  Status MakeFiles();
  Status Launch();
  Status WriteConfig() const;

  std::string dir_;
  BrokerOptions options_;
  int port_ = 0;
  int tls_port_ = 0;
  int password_port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace fiskal::testing
