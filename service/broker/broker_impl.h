// The broker client's inside, shared by its files and seen by no one
// else: the state under one lock, the client on Paho's asynchronous
// library, and the steps each file defines:
//   broker.cc   Broker's own functions, logging and counting failures
//   paho.cc     the Paho adapter: the client, connecting (again, with
//               back-off), TLS, subscribing, publishing and its callbacks
//   arrival.cc  a message that arrives: read (message.h), stored through
//               intake, then acknowledged, or withheld from the broker
//   pump.cc     the client's thread: the outbox, the presence, and what
//               the broker acknowledged
// The client's timings are written here only.
#pragma once

#include <MQTTAsync.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service/broker/broker.h"
#include "service/broker/message.h"

namespace fiskal::service {

using BrokerClock = std::chrono::steady_clock;

// Answers published and not yet acknowledged, at most.
inline constexpr int kWindow = 32;
// Reconnecting: the first wait, doubled up to the last.
inline constexpr double kFirstBackoffSeconds = 1;
inline constexpr double kLastBackoffSeconds = 60;
// The presence is published at most this often.
inline constexpr auto kPresenceEvery = std::chrono::seconds(1);
inline constexpr int kKeepAliveSeconds = 30;
inline constexpr int kConnectTimeoutSeconds = 10;

// The wall clock, for BrokerState::since_ms.
std::int64_t WallMs();

// The bytes of a string or binary property of `props` (*present: whether
// it is there); paho.cc.
std::string Property(MQTTProperties* props, enum MQTTPropertyCodes code, bool* present);

struct Broker::Impl {
  BrokerOptions options;
  Journal& journal;
  Intake& intake;
  Printers& printers;
  std::string address;
  BrokerIdentity identity;
  MQTTAsync client = nullptr;  // a new one for each connection attempt

  std::mutex mu;
  std::condition_variable wake;
  bool stopping = false;
  bool connected = false;
  bool connecting = false;
  bool subscribed = false;
  std::int64_t since_ms = 0;
  std::string last_error;
  std::uint64_t errors = 0;
  double backoff = kFirstBackoffSeconds;
  // Connecting again after a message was left unacknowledged (it could not
  // be stored): its own back-off, as each of those connections succeeds.
  double store_backoff = kFirstBackoffSeconds;
  std::map<std::pair<BrokerStep, int>, std::uint64_t> refusals;
  std::optional<std::int64_t> session_granted;  // seconds, from the last CONNACK
  BrokerClock::time_point next_attempt = BrokerClock::now();
  // The outbox: answers published since the connection came (by seq),
  // answers acknowledged and not yet forgotten, the last seq read.
  std::map<std::int64_t, int> in_flight;  // seq -> publishes pending
  std::vector<std::int64_t> acked;
  std::int64_t read_up_to = 0;
  bool outbox_changed = true;
  bool presence_wanted = false;
  BrokerClock::time_point presence_next = BrokerClock::now();
  bool offline_sent = false;
  bool disconnected = false;
  std::mt19937 random{std::random_device{}()};
  std::thread thread;
  std::string tls_error;  // the TLS library's last words, under mu

  // What a publish's callback needs to know.
  struct Pending {
    Impl* impl;
    std::int64_t seq;  // 0: the presence
    std::string topic;
  };
  std::map<Pending*, std::unique_ptr<Pending>> pending;

  Impl(BrokerOptions o, Journal& j, Intake& i, Printers& p)
      : options(std::move(o)), journal(j), intake(i), printers(p) {}

  // --- broker.cc ---
  void Log(const std::string& line);
  // Records a failure; it is logged when it differs from the last one,
  // so that trying again and again says it once.
  void Failed(const std::string& error);
  // A refusal by the broker: counted by step and code, and said with its
  // reason, the broker's own words (when it gave any) and, for access, a
  // hint.
  void Refused(BrokerStep step, int code, const std::string& what, const std::string& topic,
               const std::string& broker_words);
  std::int64_t SessionAsked() const;

  // --- paho.cc: the library's callbacks, on its threads ---
  static void OnConnected(void* context, MQTTAsync_successData5* response);
  static void OnConnectFailed(void* context, MQTTAsync_failureData5* response);
  static int OnTlsError(const char* text, std::size_t length, void* context);
  static void OnConnectionLost(void* context, char* cause);
  static void OnSubscribed(void* context, MQTTAsync_successData5* response);
  static void OnSubscribeFailed(void* context, MQTTAsync_failureData5* response);
  static void OnPublished(void* context, MQTTAsync_successData5* response);
  static void OnPublishFailed(void* context, MQTTAsync_failureData5* response);
  // The session's expiry the broker granted, logged when it changes.
  void SessionGranted(MQTTAsync_successData5* response);

  // --- paho.cc: calls into the library, never under mu ---
  void ScheduleReconnect();  // under mu
  Status NewClient();
  void Renew();
  void Subscribe();
  void Connect();
  // Publishes at QoS 1; false when the library did not take it.
  bool Publish(const std::string& topic, const std::string& payload, const std::string& type,
               const std::string& correlation, const std::string& state, bool retained,
               std::int64_t seq);
  // Sends DISCONNECT and waits (a little) until the library has closed
  // the connection.
  void Disconnect();
  // Destroys the client, when there is one.
  void Destroy();

  // --- arrival.cc ---
  static int OnMessage(void* context, char* topic, int topic_length, MQTTAsync_message* message);
  void Withhold(const std::string& topic, const std::string& why);
  // Takes one message: stores its receipt, or the refusal that answers
  // it, before the acknowledgement. False (and *unkept says why) when
  // neither could be stored.
  bool Take(const ArrivedMessage& message, std::string* unkept);
  // The point a test build of fiskald stops at, when it has one.
  void StopInArrival(const char* where);

  // --- pump.cc ---
  // A publish ended: acknowledged, refused, or failed on the way.
  void Settle(Pending* p, int code, const std::string& message, const std::string& words);
  std::string Presence();
  // The client's own thread.
  void Run();
};

}  // namespace fiskal::service
