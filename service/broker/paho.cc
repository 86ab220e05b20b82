// The Paho adapter of the broker client: a client of Paho's asynchronous
// library for each connection attempt, connecting (again, with back-off),
// the session asked and granted, the Will, TLS, the subscription,
// publishing at QoS 1, and the library's callbacks for them; the broker's
// refusals read from its reason codes.
#include <MQTTAsync.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "service/broker/broker_impl.h"
#include "service/broker/no_delay.h"
#include "service/documents.h"

namespace fiskal::service {

using Clock = std::chrono::steady_clock;

std::string Property(MQTTProperties* props, enum MQTTPropertyCodes code, bool* present) {
  MQTTProperty* p = MQTTProperties_getProperty(props, code);
  *present = p != nullptr;
  if (p == nullptr) return {};
  return std::string(p->value.data.data, static_cast<std::size_t>(p->value.data.len));
}

namespace {

void AddBytes(MQTTProperties* props, enum MQTTPropertyCodes code, const std::string& bytes) {
  MQTTProperty p{};
  p.identifier = code;
  p.value.data.data = const_cast<char*>(bytes.data());
  p.value.data.len = static_cast<int>(bytes.size());
  MQTTProperties_add(props, &p);
}

// A reason code as the library left it: it may put its own negative codes
// in the enum's field, so the field is read as the int it holds.
int CodeOf(const enum MQTTReasonCodes& field) {
  int code = 0;
  static_assert(sizeof field == sizeof code);
  std::memcpy(&code, &field, sizeof code);
  return code;
}

std::string Reason(int code) {
  const char* text = MQTTReasonCode_toString(static_cast<enum MQTTReasonCodes>(code));
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%02X", code);
  return std::string(text != nullptr ? text : "reason") + " (" + hex + ")";
}

// The port of the library's address, tcp://HOST:PORT or ssl://HOST:PORT.
int PortOf(const std::string& address) {
  return std::atoi(address.substr(address.rfind(':') + 1).c_str());
}

}  // namespace

// A refusal by the broker: counted by step and code, and said with its
// reason, the broker's own words (when it gave any) and, for access, a
// hint.
void Broker::Impl::Refused(BrokerStep step, int code, const std::string& what,
                           const std::string& topic, const std::string& broker_words) {
  {
    std::lock_guard<std::mutex> lock(mu);
    ++refusals[{step, code}];
  }
  std::string text = "the broker refused " + what + ": " + Reason(code);
  if (!broker_words.empty()) text += " (the broker said: " + broker_words + ")";
  const std::string hint = AccessHint(code, step, options.shop, topic, identity);
  if (!hint.empty()) text += "; " + hint;
  Failed(text);
}

void Broker::Impl::ScheduleReconnect() {  // under mu
  std::uniform_real_distribution<double> jitter(0.75, 1.25);
  const double wait = backoff * jitter(random);
  backoff = std::min(backoff * 2, kLastBackoffSeconds);
  next_attempt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(wait));
}

void Broker::Impl::OnConnected(void* context, MQTTAsync_successData5* response) {
  auto* self = static_cast<Impl*>(context);
  {
    std::lock_guard<std::mutex> lock(self->mu);
    self->connecting = false;
    self->connected = true;
    self->since_ms = WallMs();
    self->backoff = kFirstBackoffSeconds;
    // Every answer not acknowledged goes again, in order.
    self->in_flight.clear();
    self->read_up_to = 0;
    self->outbox_changed = true;
    self->presence_wanted = true;
    self->presence_next = Clock::now();
  }
  self->SessionGranted(response);
  // The library sets no TCP_NODELAY on its socket, so an answer written
  // right after an acknowledgement would wait for the broker's delayed
  // ACK (40 ms on Linux) before it left.
  NoDelayTowards(PortOf(self->address));
  self->Subscribe();
  self->wake.notify_all();
}

// The session's expiry the broker granted: its CONNACK's Session Expiry
// Interval, or (absent) the one asked. Logged when it changes; a shorter
// one than asked is a warning, as receipts published during a longer
// absence are lost.
void Broker::Impl::SessionGranted(MQTTAsync_successData5* response) {
  std::int64_t granted = SessionAsked();
  if (response != nullptr) {
    if (MQTTProperty* p = MQTTProperties_getProperty(&response->properties,
                                                     MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL)) {
      granted = p->value.integer4;
    }
  }
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mu);
    changed = session_granted != granted;
    session_granted = granted;
  }
  if (!changed) return;
  bool warning = false;
  Log("broker " + options.url + ": " + SessionExpiryLine(SessionAsked(), granted, &warning));
}

void Broker::Impl::OnConnectFailed(void* context, MQTTAsync_failureData5* response) {
  auto* self = static_cast<Impl*>(context);
  std::string why;
  // The CONNACK's reason code: the library leaves it in `code` (and
  // reasonCode 0) when the broker refused the connection; its own
  // errors are negative there.
  int code = response != nullptr ? CodeOf(response->reasonCode) : 0;
  if (code < 0x80 && response != nullptr && response->code >= 0x80) code = response->code;
  if (code >= 0x80) {
    bool said = false;
    const std::string words = Property(&response->properties, MQTTPROPERTY_CODE_REASON_STRING,
                                       &said);
    {
      std::lock_guard<std::mutex> lock(self->mu);
      self->tls_error.clear();
    }
    self->Refused(BrokerStep::kConnect, code, "the connection", "", words);
    {
      std::lock_guard<std::mutex> lock(self->mu);
      self->connecting = false;
      self->ScheduleReconnect();
    }
    self->wake.notify_all();
    return;
  } else {
    why = "cannot connect";
    if (response != nullptr && response->message != nullptr) {
      why += std::string(": ") + response->message;
    }
  }
  std::string tls;
  {
    std::lock_guard<std::mutex> lock(self->mu);
    tls.swap(self->tls_error);
  }
  why += ConnectFailureHint(self->options.url, tls, self->options.cert_file);
  self->Failed(why + "; trying again");
  {
    std::lock_guard<std::mutex> lock(self->mu);
    self->connecting = false;
    self->ScheduleReconnect();
  }
  self->wake.notify_all();
}

int Broker::Impl::OnTlsError(const char* text, std::size_t length, void* context) {
  auto* self = static_cast<Impl*>(context);
  std::string line(text, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  // OpenSSL's lines: "error:0A000086:SSL routines::certificate verify failed:..."
  std::lock_guard<std::mutex> lock(self->mu);
  if (self->tls_error.empty()) self->tls_error = line;
  return 0;
}

void Broker::Impl::OnConnectionLost(void* context, char* cause) {
  auto* self = static_cast<Impl*>(context);
  self->Failed(std::string("the connection was lost") +
               (cause != nullptr ? std::string(": ") + cause : std::string()) +
               "; connecting again");
  if (cause != nullptr) MQTTAsync_free(cause);
  {
    std::lock_guard<std::mutex> lock(self->mu);
    self->connected = false;
    self->subscribed = false;
    self->since_ms = WallMs();
    self->ScheduleReconnect();
  }
  self->wake.notify_all();
}

void Broker::Impl::OnSubscribed(void* context, MQTTAsync_successData5* response) {
  auto* self = static_cast<Impl*>(context);
  // One topic: its granted QoS or refusal is the reason code itself.
  const int code = CodeOf(response->reasonCode);
  if (code >= 0x80) {
    const std::string topic = ReceiptsTopic(self->options.shop);
    self->Refused(BrokerStep::kSubscribe, code, "the subscription to " + topic, topic, "");
    return;
  }
  std::lock_guard<std::mutex> lock(self->mu);
  self->subscribed = true;
}

void Broker::Impl::OnSubscribeFailed(void* context, MQTTAsync_failureData5* response) {
  auto* self = static_cast<Impl*>(context);
  const std::string topic = ReceiptsTopic(self->options.shop);
  const int code = response != nullptr ? CodeOf(response->reasonCode) : 0;
  if (code >= 0x80) {
    bool said = false;
    const std::string words = Property(&response->properties, MQTTPROPERTY_CODE_REASON_STRING,
                                       &said);
    self->Refused(BrokerStep::kSubscribe, code, "the subscription to " + topic, topic, words);
    return;
  }
  // No refusal: the subscription did not get through (the connection
  // went first, say); the next connection subscribes again.
  std::string why = "no answer";
  if (response != nullptr && response->message != nullptr) {
    why = response->message;
  } else if (response != nullptr && response->code != 0) {
    why = MQTTAsync_strerror(response->code);
  }
  self->Failed("the subscription to " + topic + " did not get through: " + why);
}

void Broker::Impl::OnPublished(void* context, MQTTAsync_successData5* response) {
  auto* p = static_cast<Pending*>(context);
  Impl* self = p->impl;
  const int code = response != nullptr ? CodeOf(response->reasonCode) : 0;
  bool said = false;
  const std::string words =
      response != nullptr
          ? Property(&response->properties, MQTTPROPERTY_CODE_REASON_STRING, &said)
          : std::string();
  self->Settle(p, code, "", words);
}

void Broker::Impl::OnPublishFailed(void* context, MQTTAsync_failureData5* response) {
  auto* p = static_cast<Pending*>(context);
  Impl* self = p->impl;
  const int code = response != nullptr ? CodeOf(response->reasonCode) : 0;
  bool said = false;
  const std::string words =
      response != nullptr
          ? Property(&response->properties, MQTTPROPERTY_CODE_REASON_STRING, &said)
          : std::string();
  self->Settle(p, code >= 0x80 ? code : -1,
               response != nullptr && response->message != nullptr ? response->message : "",
               words);
}

Status Broker::Impl::NewClient() {
  MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer5;
  create.sendWhileDisconnected = 0;
  const std::string client_id = ClientIdOf(options.shop);
  int rc = MQTTAsync_createWithOptions(&client, address.c_str(), client_id.c_str(),
                                       MQTTCLIENT_PERSISTENCE_NONE, nullptr, &create);
  if (rc == MQTTASYNC_SUCCESS) {
    rc = MQTTAsync_setCallbacks(client, this, &Impl::OnConnectionLost, &Impl::OnMessage, nullptr);
    if (rc != MQTTASYNC_SUCCESS) MQTTAsync_destroy(&client);
  }
  if (rc != MQTTASYNC_SUCCESS) {
    client = nullptr;
    return Status::Error("broker " + options.url + ": " + MQTTAsync_strerror(rc));
  }
  return Status::Ok();
}

// A client that has had a connection keeps what it had in flight, sends
// it again itself after a reconnect, beside the outbox that is sent again
// too, and counts it against its window, also when the broker has lost
// it. The outbox is what answers are published from, so each attempt is
// made by a new client, under the same id: the broker keeps the session
// and delivers again what it had not had acknowledged.
void Broker::Impl::Renew() {
  if (client != nullptr) MQTTAsync_destroy(&client);
  {
    std::lock_guard<std::mutex> lock(mu);
    pending.clear();  // their callbacks went with the client
  }
  if (Status s = NewClient(); !s.ok()) Failed(s.message());
}

void Broker::Impl::Subscribe() {
  MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
  o.onSuccess5 = OnSubscribed;
  o.onFailure5 = OnSubscribeFailed;
  o.context = this;
  const std::string topic = ReceiptsTopic(options.shop);
  if (int rc = MQTTAsync_subscribe(client, topic.c_str(), 1, &o); rc != MQTTASYNC_SUCCESS) {
    Failed("cannot subscribe to " + topic + ": " + MQTTAsync_strerror(rc));
  }
}

void Broker::Impl::Connect() {
  MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer5;
  o.keepAliveInterval = kKeepAliveSeconds;
  o.cleanstart = 0;
  o.maxInflight = kWindow * 2;
  o.connectTimeout = kConnectTimeoutSeconds;
  o.automaticReconnect = 0;
  o.onSuccess5 = OnConnected;
  o.onFailure5 = OnConnectFailed;
  o.context = this;
  MQTTProperties props = MQTTProperties_initializer;
  MQTTProperty expiry{};
  expiry.identifier = MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL;
  expiry.value.integer4 = static_cast<unsigned int>(SessionAsked());
  MQTTProperties_add(&props, &expiry);
  o.connectProperties = &props;
  const std::string will_topic = StatusTopic(options.shop);
  const std::string will_message = Dump({{"online", false}});
  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
  will.topicName = will_topic.c_str();
  will.message = will_message.c_str();
  will.retained = 1;
  will.qos = 1;
  o.will = &will;
  MQTTProperties will_props = MQTTProperties_initializer;
  static const std::string kJson = "application/json";
  AddBytes(&will_props, MQTTPROPERTY_CODE_CONTENT_TYPE, kJson);
  o.willProperties = &will_props;
  if (!options.user.empty()) {
    o.username = options.user.c_str();
    o.password = options.password.c_str();
  }
  MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
  if (address.rfind("ssl://", 0) == 0) {
    ssl.enableServerCertAuth = 1;
    ssl.verify = 1;
    ssl.sslVersion = MQTT_SSL_VERSION_TLS_1_2;
    if (!options.ca_file.empty()) ssl.trustStore = options.ca_file.c_str();
    if (!options.cert_file.empty()) {
      ssl.keyStore = options.cert_file.c_str();
      ssl.privateKey = options.key_file.c_str();
    }
    ssl.ssl_error_cb = OnTlsError;
    ssl.ssl_error_context = this;
    o.ssl = &ssl;
  }
  const int rc = MQTTAsync_connect(client, &o);
  MQTTProperties_free(&props);
  MQTTProperties_free(&will_props);
  if (rc != MQTTASYNC_SUCCESS) {
    Failed(std::string("cannot connect: ") + MQTTAsync_strerror(rc) + "; trying again");
    std::lock_guard<std::mutex> lock(mu);
    connecting = false;
    ScheduleReconnect();
  }
}

// Publishes at QoS 1; false when the library did not take it.
bool Broker::Impl::Publish(const std::string& topic, const std::string& payload,
                           const std::string& type, const std::string& correlation,
                           const std::string& state, bool retained, std::int64_t seq) {
  Pending* p = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu);
    auto owned = std::make_unique<Pending>(Pending{this, seq, topic});
    p = owned.get();
    pending.emplace(p, std::move(owned));
  }
  MQTTAsync_message m = MQTTAsync_message_initializer;
  m.payload = const_cast<char*>(payload.data());
  m.payloadlen = static_cast<int>(payload.size());
  m.qos = 1;
  m.retained = retained ? 1 : 0;
  AddBytes(&m.properties, MQTTPROPERTY_CODE_CONTENT_TYPE, type);
  if (!correlation.empty())
    AddBytes(&m.properties, MQTTPROPERTY_CODE_CORRELATION_DATA, correlation);
  if (!state.empty()) {
    static const std::string kState = "state";
    MQTTProperty user{};
    user.identifier = MQTTPROPERTY_CODE_USER_PROPERTY;
    user.value.data.data = const_cast<char*>(kState.data());
    user.value.data.len = static_cast<int>(kState.size());
    user.value.value.data = const_cast<char*>(state.data());
    user.value.value.len = static_cast<int>(state.size());
    MQTTProperties_add(&m.properties, &user);
  }
  MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
  o.onSuccess5 = OnPublished;
  o.onFailure5 = OnPublishFailed;
  o.context = p;
  const int rc = MQTTAsync_sendMessage(client, topic.c_str(), &m, &o);
  MQTTProperties_free(&m.properties);
  if (rc != MQTTASYNC_SUCCESS) {
    {
      std::lock_guard<std::mutex> lock(mu);
      pending.erase(p);
    }
    Failed(std::string("the library did not take ") +
           (seq == 0 ? "the presence" : "answer " + std::to_string(seq)) + ": " +
           MQTTAsync_strerror(rc) + "; trying again");
    return false;
  }
  return true;
}

// Sends DISCONNECT and waits (a little) until the library has closed the
// connection.
void Broker::Impl::Disconnect() {
  MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer5;
  d.timeout = 2000;  // the offline presence's acknowledgement, first
  MQTTAsync_disconnect(client, &d);
  // The library ends the connection on its own threads; it is destroyed
  // once it has.
  for (int n = 0; n < 25 && MQTTAsync_isConnected(client); ++n) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void Broker::Impl::Destroy() {
  if (client != nullptr) MQTTAsync_destroy(&client);
}

}  // namespace fiskal::service
