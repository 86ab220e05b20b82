// An MQTT broker for one test and a small MQTT 5 client to talk to it.
//
// TestBroker runs the system's mosquitto in the test's folder with
// certificates made there by the openssl command, on loopback ports the
// system gives: a plain listener open to anyone, a TLS listener that takes
// clients by their certificate's CN (shop S may use fiskal/S/# only,
// "chain" fiskal/#), and on request a listener that takes a user name and
// password with the same rights. Its sessions and queued messages are kept
// on disk, so Restart() finds them again. The broker ends with the test:
// the destructor kills it, and so does the test binary's end.
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
  // Lines for the configuration, written before the listeners (so they
  // are the broker's own settings, not a listener's): max_queued_messages
  // 10, say.
  std::vector<std::string> extra_config;
};

class TestBroker {
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

  ~TestBroker();  // kills the broker
  TestBroker(const TestBroker&) = delete;
  TestBroker& operator=(const TestBroker&) = delete;

  std::string url() const;           // mqtt://127.0.0.1:PORT
  std::string tls_url() const;       // mqtts://localhost:PORT
  std::string password_url() const;  // mqtt://127.0.0.1:PORT; empty without that listener
  int port() const { return port_; }
  int tls_port() const { return tls_port_; }

  // PEM files: the CA that signed the server's and the clients'
  // certificates; a client's certificate and key ("A", "B", "chain").
  std::string ca_file() const;
  std::string cert_file(const std::string& name) const;
  std::string key_file(const std::string& name) const;
  // The password of a user of the password listener.
  static std::string password(const std::string& user) { return "secret-" + user; }

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }
  // All the broker has logged, over every start in this folder.
  std::string log() const;

  // SIGTERM, and waits until it has ended (it saves its state on the way).
  Status Stop();
  // SIGKILL. It saves its state soon after each change, but a change just
  // acknowledged may not be saved yet: a test that needs it kept uses
  // Stop().
  void Kill();
  // Stops it when it runs and starts it again: the same ports, the same
  // saved sessions and queued messages.
  Status Restart();

 private:
  TestBroker(const TempDir& dir, const BrokerOptions& options);
  Status MakeFiles();
  Status Launch();
  void WriteConfig() const;

  std::string dir_;
  BrokerOptions options_;
  int port_ = 0;
  int tls_port_ = 0;
  int password_port_ = 0;
  pid_t pid_ = -1;
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
