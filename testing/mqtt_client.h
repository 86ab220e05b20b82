// A small MQTT 5 client for tests, on Paho's synchronous library (kept out
// of this header): connect, subscribe, publish and wait for what arrives,
// each bounded in time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fiskal::testing {

// A guard against a hang, never a speed requirement: the client's waits
// and the test brokers' starts and stops.
inline constexpr double kBrokerPatience = 30;

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

// How a client connects.
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
