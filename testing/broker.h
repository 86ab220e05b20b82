// An MQTT broker for one test and a small MQTT 5 client to talk to it.
//
// MqttBroker is what a test needs of a broker, whichever it is, so one test
// body runs against each: TestBroker (mosquitto) and TestEjabberd.
//
// TestBroker runs the system's mosquitto in the test's folder with
// certificates made there by the openssl command, on loopback ports the
// system gives: a plain listener open to anyone, a TLS listener that takes
// clients by their certificate's CN (shop S may use fiskal/S/# only,
// "chain" fiskal/#: the shipped examples/broker/mosquitto.conf and
// fiskal.acl, filled in), and on request a listener that takes a user name and
// password with the same rights. Its sessions and queued messages are kept
// on disk, so Restart() finds them again. The broker ends with the test:
// the destructor kills it, and so does the test binary's end.
//
// TestEjabberd runs the system's ejabberd (its mod_mqtt) with the shipped
// examples/broker/ejabberd.yml filled in: its own folder for Mnesia, logs
// and HOME, no Erlang distribution at all (so no node name, cookie or
// epmd), a plain and a TLS listener on loopback ports the system gives,
// users made at each start. It keeps users and retained messages on disk,
// but MQTT sessions and queued messages in memory only: Restart() loses
// them. The VM ends with the test as mosquitto does.
//
// MqttTestClient is a client on Paho's synchronous API: connect, subscribe,
// publish and wait for what arrives, each bounded in time.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/status.h"
#include "testing/temp_dir.h"

namespace fiskal::testing {

// A guard against a hang, never a speed requirement.
inline constexpr double kBrokerPatience = 30;

struct MqttConnect;

// A broker of a test, whichever it is.
class MqttBroker {
 public:
  virtual ~MqttBroker() = default;
  // "mosquitto" or "ejabberd".
  virtual const char* kind() const = 0;
  // The plain listener: mqtt://127.0.0.1:PORT.
  virtual std::string url() const = 0;
  // How `user` ("A", "B", "chain") connects to url() with `client_id`:
  // with a user name and password where the listener asks for them.
  virtual MqttConnect As(const std::string& user, const std::string& client_id) const = 0;
  // fiskald's options to take receipts for `shop` from url(), known to
  // the broker as `user`.
  virtual std::vector<std::string> FiskaldOptions(const std::string& shop,
                                                  const std::string& user) const = 0;
  // Whether sessions and the messages queued for them outlive Restart().
  virtual bool keeps_sessions() const = 0;
  virtual bool running() const = 0;
  // All the broker has logged, over every start in its folder.
  virtual std::string log() const = 0;
  // SIGTERM, and waits until it has ended.
  virtual Status Stop() = 0;
  // SIGKILL.
  virtual void Kill() = 0;
  // Stops it when it runs and starts it again on the same ports and
  // folder.
  virtual Status Restart() = 0;
  // The password of a user, wherever there are passwords.
  static std::string password(const std::string& user) { return "secret-" + user; }
};

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
  // certificates; a client's certificate and key ("A", "B", "chain").
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

// One message, as received or to be published. The properties that are
// absent stay empty.
struct MqttMessage {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retained = false;
  std::optional<std::string> content_type;
  std::optional<std::string> correlation_data;
  std::optional<std::string> response_topic;
  // Seconds: set when publishing; on a received message, what is left of it.
  std::optional<std::uint32_t> message_expiry;
  std::vector<std::pair<std::string, std::string>> user_properties;
};

// What the broker answered: an MQTT reason code (0 success, 0x10 no
// matching subscribers, 0x87 not authorised, which mosquitto also gives for
// a wrong password, ...; for a subscription the granted QoS), or -1 and
// `error` when no answer came (no connection, TLS refused, no answer in
// time).
struct MqttAnswer {
  int reason_code = -1;
  std::string error;
  // Connect: the Session Expiry Interval of the CONNACK, where the broker
  // grants another than asked.
  std::optional<std::uint32_t> session_expiry;
};

struct MqttConnect {
  std::string url;  // mqtt://HOST:PORT or mqtts://HOST:PORT
  std::string client_id;
  bool clean_start = true;
  std::uint32_t session_expiry = 0;  // seconds
  std::string ca_file;               // mqtts: the CAs trusted (none: the system's)
  std::string cert_file;             // mutual TLS: the client's certificate and key
  std::string key_file;
  std::string username;
  std::string password;
};

class MqttTestClient {
 public:
  MqttTestClient() = default;
  ~MqttTestClient();  // disconnects
  MqttTestClient(const MqttTestClient&) = delete;
  MqttTestClient& operator=(const MqttTestClient&) = delete;

  // Connects (again, after a loss or Disconnect()); what is received from
  // then on waits for Next(). (Paho's synchronous library does not hand on
  // the CONNACK's "session present" under MQTT 5: a test sees a kept
  // session by the messages it finds waiting.)
  MqttAnswer Connect(const MqttConnect& how);
  // The granted reason code of one subscription.
  MqttAnswer Subscribe(const std::string& filter, int qos);
  // At QoS 1 and 2 waits for the broker's acknowledgement and gives its
  // reason code; at QoS 0, 0 once sent.
  MqttAnswer Publish(const MqttMessage& message);
  MqttAnswer Publish(const std::string& topic, const std::string& payload, int qos = 1,
                     bool retained = false);
  // The next message received, in order; nothing when `seconds` pass
  // first.
  std::optional<MqttMessage> Next(double seconds = kBrokerPatience);
  // Sends DISCONNECT (reason 0) and closes the connection.
  void Disconnect();
  // False once the connection is lost (or before Connect()).
  bool connected() const;
  // Why the connection was lost, when it was.
  std::string lost() const;

 private:
  friend struct PahoCallbacks;  // Paho's threads call in there
  void Destroy();

  void* handle_ = nullptr;  // MQTTClient
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<MqttMessage> received_;
  std::vector<std::pair<int, int>> acknowledged_;  // token, reason code
  bool connected_ = false;
  std::string lost_;
  std::string tls_errors_;
};

}  // namespace fiskal::testing
