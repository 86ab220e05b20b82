#include "service/broker/broker.h"

#include <MQTTAsync.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "fiskal/version.h"
#include "service/broker/no_delay.h"
#include "service/documents.h"

namespace fiskal::service {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

// Answers published and not yet acknowledged, at most.
constexpr int kWindow = 32;
// Reconnecting: the first wait, doubled up to the last.
constexpr double kFirstBackoffSeconds = 1;
constexpr double kLastBackoffSeconds = 60;
// The presence is published at most this often.
constexpr auto kPresenceEvery = std::chrono::seconds(1);
constexpr int kKeepAliveSeconds = 30;
constexpr int kConnectTimeoutSeconds = 10;

std::int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Property(MQTTProperties* props, enum MQTTPropertyCodes code, bool* present) {
  MQTTProperty* p = MQTTProperties_getProperty(props, code);
  *present = p != nullptr;
  if (p == nullptr) return {};
  return std::string(p->value.data.data, static_cast<std::size_t>(p->value.data.len));
}

// The values of every user property named `name`, in order.
std::vector<std::string> UserProperties(const MQTTProperties* props, std::string_view name) {
  std::vector<std::string> values;
  for (int i = 0; i < props->count; ++i) {
    const MQTTProperty& p = props->array[i];
    if (p.identifier != MQTTPROPERTY_CODE_USER_PROPERTY) continue;
    if (std::string_view(p.value.data.data, static_cast<std::size_t>(p.value.data.len)) != name) {
      continue;
    }
    values.emplace_back(p.value.value.data, static_cast<std::size_t>(p.value.value.len));
  }
  return values;
}

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

// A test may stop fiskald at a point of taking a message ("before" or
// "after" its commit) to kill it there.
void StopHereForTests(const char* where) {
  const char* at = std::getenv("FISKALD_TEST_STOP_IN_ARRIVAL");
  if (at == nullptr || std::string(at) != where) return;
  std::fprintf(stderr, "fiskald: stopped %s the commit of a message, for a test\n", where);
  std::fflush(stderr);
  ::raise(SIGSTOP);
}

// The subject of the client certificate in `file` (CN=...), for the
// messages; the file's name when it cannot be read.
std::string CertificateSubject(const std::string& file) {
  std::FILE* f = std::fopen(file.c_str(), "r");
  if (f == nullptr) return file;
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (cert == nullptr) return file;
  char cn[256];
  const int n = X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn,
                                          sizeof cn);
  X509_free(cert);
  return n > 0 ? "CN=" + std::string(cn, static_cast<std::size_t>(n)) + " (" + file + ")" : file;
}

// The port of the library's address, tcp://HOST:PORT or ssl://HOST:PORT.
int PortOf(const std::string& address) {
  return std::atoi(address.substr(address.rfind(':') + 1).c_str());
}

}  // namespace

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
  Clock::time_point next_attempt = Clock::now();
  // The outbox: answers published since the connection came (by seq),
  // answers acknowledged and not yet forgotten, the last seq read.
  std::map<std::int64_t, int> in_flight;  // seq -> publishes pending
  std::vector<std::int64_t> acked;
  std::int64_t read_up_to = 0;
  bool outbox_changed = true;
  bool presence_wanted = false;
  Clock::time_point presence_next = Clock::now();
  bool offline_sent = false;
  bool disconnected = false;
  std::mt19937 random{std::random_device{}()};
  std::thread thread;

  // What a publish's callback needs to know.
  struct Pending {
    Impl* impl;
    std::int64_t seq;  // 0: the presence
    std::string topic;
  };
  std::map<Pending*, std::unique_ptr<Pending>> pending;

  Impl(BrokerOptions o, Journal& j, Intake& i, Printers& p)
      : options(std::move(o)), journal(j), intake(i), printers(p) {}

  void Log(const std::string& line) {
    if (options.log) options.log(line);
  }

  // Records a failure; it is logged when it differs from the last one,
  // so that trying again and again says it once.
  void Failed(const std::string& error) {
    bool changed = false;
    {
      std::lock_guard<std::mutex> lock(mu);
      ++errors;
      changed = error != last_error;
      last_error = error;
    }
    if (changed) Log("broker " + options.url + ": " + error);
  }

  // A refusal by the broker: counted by step and code, and said with its
  // reason, the broker's own words (when it gave any) and, for access, a
  // hint.
  void Refused(BrokerStep step, int code, const std::string& what, const std::string& topic,
               const std::string& broker_words) {
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

  std::int64_t SessionAsked() const {
    return std::int64_t{options.session_days} * 24 * 3600;
  }

  void ScheduleReconnect() {  // under mu
    std::uniform_real_distribution<double> jitter(0.75, 1.25);
    const double wait = backoff * jitter(random);
    backoff = std::min(backoff * 2, kLastBackoffSeconds);
    next_attempt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(wait));
  }

  // --- the library's callbacks, on its threads ---

  static void OnConnected(void* context, MQTTAsync_successData5* response) {
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
  void SessionGranted(MQTTAsync_successData5* response) {
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

  static void OnConnectFailed(void* context, MQTTAsync_failureData5* response) {
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
    if (tls.find("certificate verify failed") != std::string::npos) {
      why += ": the broker's certificate is not trusted (certificate verify failed); give the CA "
             "that issued it with --broker-ca";
    } else if (!tls.empty()) {
      why += " (TLS: " + tls + ")";
    }
    self->Failed(why + "; trying again");
    {
      std::lock_guard<std::mutex> lock(self->mu);
      self->connecting = false;
      self->ScheduleReconnect();
    }
    self->wake.notify_all();
  }

  std::string tls_error;  // the TLS library's last words, under mu

  static int OnTlsError(const char* text, std::size_t length, void* context) {
    auto* self = static_cast<Impl*>(context);
    std::string line(text, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // OpenSSL's lines: "error:0A000086:SSL routines::certificate verify failed:..."
    std::lock_guard<std::mutex> lock(self->mu);
    if (self->tls_error.empty()) self->tls_error = line;
    return 0;
  }

  static void OnConnectionLost(void* context, char* cause) {
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

  static void OnSubscribed(void* context, MQTTAsync_successData5* response) {
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

  static void OnSubscribeFailed(void* context, MQTTAsync_failureData5* response) {
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

  static void OnPublished(void* context, MQTTAsync_successData5* response) {
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

  static void OnPublishFailed(void* context, MQTTAsync_failureData5* response) {
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

  // A publish ended: acknowledged (code < 0x80), refused by the broker
  // (code >= 0x80: it never goes through, so it is not tried again), or
  // failed on the way (code -1: it goes again after the next connect).
  void Settle(Pending* p, int code, const std::string& message, const std::string& words) {
    std::int64_t seq = 0;
    std::string topic;
    {
      std::lock_guard<std::mutex> lock(mu);
      auto it = pending.find(p);
      if (it == pending.end()) return;
      seq = p->seq;
      topic = p->topic;
      pending.erase(it);
      if (seq != 0 && code != -1) {
        acked.push_back(seq);
        auto f = in_flight.find(seq);
        if (f != in_flight.end() && --f->second <= 0) in_flight.erase(f);
      }
    }
    if (code >= 0x80) {
      Refused(BrokerStep::kPublish, code,
              (seq == 0 ? "the presence" : "answer " + std::to_string(seq)) + " on " + topic,
              topic, words);
    } else if (code == -1 && !message.empty()) {
      Failed("publishing failed: " + message);
    }
    wake.notify_all();
  }

  static int OnMessage(void* context, char* topic, int topic_length, MQTTAsync_message* message) {
    auto* self = static_cast<Impl*>(context);
    const std::string name = topic_length > 0 ? std::string(topic, topic_length) : std::string(topic);
    std::string unkept;
    const bool kept = self->Take(name, message, &unkept);
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    if (kept) {
      std::lock_guard<std::mutex> lock(self->mu);
      self->store_backoff = kFirstBackoffSeconds;
    } else {
      self->Withhold(name, unkept);
    }
    // The library acknowledges it as this returns (whatever is returned:
    // a 0 only makes it call again, after acknowledging): it is in the
    // journal, or the connection is closed already.
    return 1;
  }

  // Neither the message's receipt nor its refusal is in the journal (a
  // full disk, say): the broker must not have its acknowledgement, so
  // that it delivers the message again. The library acknowledges as the
  // message's callback returns, also to a disconnect asked for in the
  // callback, unless the connection is closed by then: so the connection
  // is closed here, and waited for, before the callback returns. The
  // DISCONNECT asks for the Will (the presence goes offline), and
  // fiskald connects again after a back-off of its own (the connection
  // itself succeeds each time, so the connection's back-off would not
  // grow).
  void Withhold(const std::string& topic, const std::string& why) {
    double wait = 0;
    {
      std::lock_guard<std::mutex> lock(mu);
      connected = false;
      subscribed = false;
      connecting = true;  // the client stays until the connection is closed
      since_ms = WallMs();
      std::uniform_real_distribution<double> jitter(0.75, 1.25);
      wait = store_backoff * jitter(random);
      store_backoff = std::min(store_backoff * 2, kLastBackoffSeconds);
    }
    Failed("a message on " + topic + " is left unacknowledged at the broker: neither its " +
           "receipt nor its refusal could be stored (" + why + "); fiskald disconnects, so " +
           "that the broker keeps the message and delivers it again, and connects again " +
           "after a back-off (up to " + std::to_string(static_cast<int>(kLastBackoffSeconds)) +
           " s)");
    MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer5;
    d.reasonCode = MQTTREASONCODE_DISCONNECT_WITH_WILL_MESSAGE;
    d.timeout = 0;
    if (MQTTAsync_disconnect(client, &d) == MQTTASYNC_SUCCESS) {
      // Closed by the library's other thread, at once: the wait is bounded
      // all the same, and never under mu (the library's threads call back
      // into it).
      const auto until = Clock::now() + std::chrono::seconds(kConnectTimeoutSeconds);
      while (MQTTAsync_isConnected(client) && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (MQTTAsync_isConnected(client)) {
      Log("broker " + options.url + ": the connection did not close in " +
          std::to_string(kConnectTimeoutSeconds) +
          " s: the broker may have the acknowledgement of a message that is not stored");
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      connecting = false;
      next_attempt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(wait));
    }
    wake.notify_all();
  }

  // Takes one message: stores its receipt, or the refusal that answers
  // it, before the acknowledgement. False (and *unkept says why) when
  // neither could be stored.
  bool Take(const std::string& topic, MQTTAsync_message* m, std::string* unkept) {
    if (topic != ReceiptsTopic(options.shop)) return true;  // not ours to take
    ReceiptMessage message;
    bool present = false;
    std::string value = Property(&m->properties, MQTTPROPERTY_CODE_CONTENT_TYPE, &present);
    if (present) message.content_type = value;
    value = Property(&m->properties, MQTTPROPERTY_CODE_CORRELATION_DATA, &present);
    if (present) message.correlation = value;
    value = Property(&m->properties, MQTTPROPERTY_CODE_RESPONSE_TOPIC, &present);
    if (present) message.response_topic = value;
    if (MQTTProperty* e =
            MQTTProperties_getProperty(&m->properties, MQTTPROPERTY_CODE_MESSAGE_EXPIRY_INTERVAL)) {
      message.expiry_seconds = e->value.integer4;
    }
    message.deadlines = UserProperties(&m->properties, "deadline");
    message.body.assign(static_cast<const char*>(m->payload),
                        static_cast<std::size_t>(m->payloadlen));

    auto refuse = [&](const MessageRefusal& r, const Json& extra) {
      OutboxAnswer a;
      a.topic = r.topic;
      a.correlation = r.correlation;
      a.content_type = "application/problem+json";
      a.payload = Dump(ProblemJson(r.status, r.detail, extra));
      StopHereForTests("before");
      if (Status s = journal.StoreAnswer(a); !s.ok()) {
        *unkept = (r.status >= 500 ? r.detail + "; " : std::string()) + "its refusal " +
                  std::to_string(r.status) + ": " + s.message();
        return false;
      }
      StopHereForTests("after");
      return true;
    };

    Submission submission;
    MessageRefusal refusal;
    if (!ReadReceiptMessage(options.shop, message, journal.NowMs(), &submission, &refusal)) {
      return refuse(refusal, Json::object());
    }
    StopHereForTests("before");
    const Outcome outcome = intake.Submit(submission);
    if (outcome.stored()) {
      StopHereForTests("after");
      return true;
    }
    return refuse(MessageRefusal{submission.answer_to->topic, submission.key, outcome.status,
                                 outcome.detail},
                  outcome.extra);
  }


  // --- calls into the library, never under mu ---

  Status NewClient() {
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
  void Renew() {
    if (client != nullptr) MQTTAsync_destroy(&client);
    {
      std::lock_guard<std::mutex> lock(mu);
      pending.clear();  // their callbacks went with the client
    }
    if (Status s = NewClient(); !s.ok()) Failed(s.message());
  }

  void Subscribe() {
    MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
    o.onSuccess5 = OnSubscribed;
    o.onFailure5 = OnSubscribeFailed;
    o.context = this;
    const std::string topic = ReceiptsTopic(options.shop);
    if (int rc = MQTTAsync_subscribe(client, topic.c_str(), 1, &o); rc != MQTTASYNC_SUCCESS) {
      Failed("cannot subscribe to " + topic + ": " + MQTTAsync_strerror(rc));
    }
  }

  void Connect() {
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
  bool Publish(const std::string& topic, const std::string& payload, const std::string& type,
               const std::string& correlation, const std::string& state, bool retained,
               std::int64_t seq) {
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
    if (!correlation.empty()) AddBytes(&m.properties, MQTTPROPERTY_CODE_CORRELATION_DATA, correlation);
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

  std::string Presence() {
    return Dump({{"online", true},
                 {"version", std::string(kVersion)},
                 {"printers", PrintersJson(printers.Snapshot())}});
  }

  // The client's own thread: connects (again), publishes the outbox and
  // the presence, forgets what the broker acknowledged. It sleeps until
  // there is something to do.
  void Run() {
    std::unique_lock<std::mutex> lock(mu);
    while (!stopping) {
      const auto now = Clock::now();
      if (!connected && !connecting && now >= next_attempt) {
        connecting = true;
        lock.unlock();
        Renew();
        Connect();
        lock.lock();
        continue;
      }
      if (!acked.empty()) {
        std::vector<std::int64_t> done;
        done.swap(acked);
        lock.unlock();
        if (Status s = journal.Delivered(done); !s.ok()) Log(s.message());
        lock.lock();
        continue;
      }
      if (connected && presence_wanted && now >= presence_next) {
        presence_wanted = false;
        presence_next = now + kPresenceEvery;
        lock.unlock();
        Publish(StatusTopic(options.shop), Presence(), "application/json", "", "", true, 0);
        lock.lock();
        continue;
      }
      if (connected && outbox_changed && static_cast<int>(in_flight.size()) < kWindow) {
        outbox_changed = false;
        const std::int64_t after = read_up_to;
        const int room = kWindow - static_cast<int>(in_flight.size());
        lock.unlock();
        std::vector<OutboxAnswer> answers;
        if (Status s = journal.Outbox(after, room, &answers); !s.ok()) Log(s.message());
        bool all_taken = true;
        for (const OutboxAnswer& a : answers) {
          {
            std::lock_guard<std::mutex> relock(mu);
            in_flight[a.seq] += 1;
          }
          if (!Publish(a.topic, a.payload, a.content_type, a.correlation, a.state, false, a.seq)) {
            std::lock_guard<std::mutex> relock(mu);
            if (--in_flight[a.seq] <= 0) in_flight.erase(a.seq);
            all_taken = false;
            break;
          }
          std::lock_guard<std::mutex> relock(mu);
          read_up_to = a.seq;
        }
        lock.lock();
        // A full read may have left more behind; a short one read all.
        if (static_cast<int>(answers.size()) == room || !all_taken) outbox_changed = true;
        if (!all_taken) {
          // The library takes no more now: look again once it settles one.
          outbox_changed = true;
          wake.wait_for(lock, std::chrono::milliseconds(200));
        }
        continue;
      }
      // Nothing to do until a callback, a change, or the next time one of
      // the steps above is due. Each wake (any change under mu) goes round
      // the steps again, which also finds the new time to wait for: the
      // lock is held from the steps' checks to the wait, so no change is
      // missed, and nothing is done again and again while none is due.
      std::optional<Clock::time_point> until;
      if (!connected && !connecting) until = next_attempt;
      if (connected && presence_wanted) until = presence_next;
      if (until) {
        wake.wait_until(lock, *until);
      } else {
        wake.wait(lock);
      }
    }
  }
};

Broker::Broker(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Status Broker::Start(BrokerOptions options, Journal& journal, Intake& intake, Printers& printers,
                     std::unique_ptr<Broker>* broker) {
  auto impl = std::make_unique<Impl>(std::move(options), journal, intake, printers);
  if (Status s = BrokerAddress(impl->options.url, &impl->address); !s.ok()) return s;
  impl->identity.client_id = ClientIdOf(impl->options.shop);
  impl->identity.user = impl->options.user;
  if (!impl->options.cert_file.empty()) {
    impl->identity.certificate = CertificateSubject(impl->options.cert_file);
  }
  // The library's word on the address and the id, at once (each attempt
  // makes a client of its own).
  if (Status s = impl->NewClient(); !s.ok()) return s;
  Impl* raw = impl.get();
  raw->thread = std::thread([raw] { raw->Run(); });
  broker->reset(new Broker(std::move(impl)));
  return Status::Ok();
}

Broker::~Broker() {
  Stop(0);
  if (impl_->client != nullptr) MQTTAsync_destroy(&impl_->client);
}

BrokerState Broker::State() {
  BrokerState s;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    s.url = impl_->options.url;
    s.shop = impl_->options.shop;
    s.connected = impl_->connected;
    s.since_ms = impl_->since_ms;
    s.last_error = impl_->last_error;
    s.errors = impl_->errors;
    s.session_expiry_asked = impl_->SessionAsked();
    s.session_expiry_granted = impl_->session_granted;
    s.refusals = impl_->refusals;
  }
  (void)impl_->journal.OutboxSize(&s.answers_waiting);
  return s;
}

void Broker::PrintersChanged() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->presence_wanted = true;
  }
  impl_->wake.notify_all();
}

void Broker::OutboxChanged() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->outbox_changed = true;
  }
  impl_->wake.notify_all();
}

void Broker::Stop(double seconds) {
  Impl& i = *impl_;
  if (!i.thread.joinable()) return;
  // The outbox, as far as it goes in the time given.
  {
    std::unique_lock<std::mutex> lock(i.mu);
    i.outbox_changed = true;
    i.wake.notify_all();
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(seconds));
    while (i.connected && Clock::now() < until) {
      std::int64_t waiting = 0;
      lock.unlock();
      (void)i.journal.OutboxSize(&waiting);
      lock.lock();
      if (waiting == 0 && i.in_flight.empty()) break;
      i.wake.wait_until(lock, std::min(until, Clock::now() + std::chrono::milliseconds(100)));
    }
    i.stopping = true;
  }
  i.wake.notify_all();
  i.thread.join();
  bool connected = false;
  {
    std::lock_guard<std::mutex> lock(i.mu);
    connected = i.connected;
  }
  if (connected) {
    // Offline, said by fiskald itself: the Will goes out only when the
    // connection breaks.
    i.Publish(StatusTopic(i.options.shop), Dump({{"online", false}}), "application/json", "", "",
              true, 0);
    MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer5;
    d.timeout = 2000;  // the offline presence's acknowledgement, first
    MQTTAsync_disconnect(i.client, &d);
    // The library ends the connection on its own threads; it is destroyed
    // once it has.
    for (int n = 0; n < 25 && MQTTAsync_isConnected(i.client); ++n) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

}  // namespace fiskal::service
