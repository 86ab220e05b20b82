// The tests' MQTT 5 client on Paho's synchronous library (see
// mqtt_client.h).
#include "testing/mqtt_client.h"

#include <MQTTClient.h>

#include <chrono>
#include <cstring>
#include <sstream>

namespace fiskal::testing {

struct PahoCallbacks {
  static int Message(void* context, char* topic, int topic_len, MQTTClient_message* m) {
    auto* self = static_cast<MqttTestClient*>(context);
    MqttMessage message;
    message.topic = topic_len > 0 ? std::string(topic, static_cast<std::size_t>(topic_len))
                                  : std::string(topic);
    message.payload.assign(static_cast<const char*>(m->payload),
                           static_cast<std::size_t>(m->payloadlen));
    message.qos = m->qos;
    message.retained = m->retained != 0;
    for (int i = 0; i < m->properties.count; ++i) {
      const MQTTProperty& p = m->properties.array[i];
      // The bytes of a string or binary property (the union holds a number
      // otherwise).
      auto bytes = [](const MQTTLenString& s) {
        return s.data == nullptr ? std::string()
                                 : std::string(s.data, static_cast<std::size_t>(s.len));
      };
      switch (p.identifier) {
        case MQTTPROPERTY_CODE_CONTENT_TYPE:
          message.content_type = bytes(p.value.data);
          break;
        case MQTTPROPERTY_CODE_CORRELATION_DATA:
          message.correlation_data = bytes(p.value.data);
          break;
        case MQTTPROPERTY_CODE_RESPONSE_TOPIC:
          message.response_topic = bytes(p.value.data);
          break;
        case MQTTPROPERTY_CODE_MESSAGE_EXPIRY_INTERVAL:
          message.message_expiry = p.value.integer4;
          break;
        case MQTTPROPERTY_CODE_USER_PROPERTY:
          message.user_properties.emplace_back(bytes(p.value.data), bytes(p.value.value));
          break;
        default:
          break;
      }
    }
    MQTTClient_freeMessage(&m);
    MQTTClient_free(topic);
    {
      const std::lock_guard lock(self->mutex_);
      self->received_.push_back(std::move(message));
    }
    self->changed_.notify_all();
    return 1;  // taken
  }

  static void Lost(void* context, char* cause) {
    auto* self = static_cast<MqttTestClient*>(context);
    {
      const std::lock_guard lock(self->mutex_);
      self->connected_ = false;
      self->lost_ = cause != nullptr ? cause : "connection lost";
    }
    self->changed_.notify_all();
  }

  static void Published(void* context, int token, int /*packet_type*/,
                        MQTTProperties* /*properties*/, enum MQTTReasonCodes reason_code) {
    auto* self = static_cast<MqttTestClient*>(context);
    {
      const std::lock_guard lock(self->mutex_);
      self->acknowledged_.emplace_back(token, static_cast<int>(reason_code));
    }
    self->changed_.notify_all();
  }

  static int TlsError(const char* text, std::size_t len, void* context) {
    auto* self = static_cast<MqttTestClient*>(context);
    const std::lock_guard lock(self->mutex_);
    std::string line(text, len);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    self->tls_errors_ += (self->tls_errors_.empty() ? "" : "; ") + line;
    return 0;
  }
};

namespace {

MQTTClient Handle(void* handle) { return static_cast<MQTTClient>(handle); }

// The reason code of an answer. Paho keeps its own negative error codes in
// the same field, whose enum type has no such values: read as a plain int,
// not as that enum.
int Code(const MQTTResponse& response) {
  static_assert(sizeof response.reasonCode == sizeof(int));
  int code = 0;
  std::memcpy(&code, &response.reasonCode, sizeof code);
  return code;
}

// Paho's error text, or the reason code's name.
std::string Explain(int code) {
  if (code < 0) return MQTTClient_strerror(code);
  const char* name = MQTTReasonCode_toString(static_cast<enum MQTTReasonCodes>(code));
  std::ostringstream text;
  text << "reason code 0x" << std::hex << code;
  if (name != nullptr) text << " (" << name << ")";
  return text.str();
}

void AddString(MQTTProperties* properties, enum MQTTPropertyCodes code, const std::string& data,
               const std::string* value = nullptr) {
  MQTTProperty p{};
  p.identifier = code;
  p.value.data.data = const_cast<char*>(data.data());
  p.value.data.len = static_cast<int>(data.size());
  if (value != nullptr) {
    p.value.value.data = const_cast<char*>(value->data());
    p.value.value.len = static_cast<int>(value->size());
  }
  MQTTProperties_add(properties, &p);  // copies the bytes
}

void AddNumber(MQTTProperties* properties, enum MQTTPropertyCodes code, std::uint32_t number) {
  MQTTProperty p{};
  p.identifier = code;
  p.value.integer4 = number;
  MQTTProperties_add(properties, &p);
}

}  // namespace

MqttTestClient::~MqttTestClient() { Disconnect(); }

void MqttTestClient::Destroy() {
  if (handle_ == nullptr) return;
  MQTTClient handle = Handle(handle_);
  // Without the lock: the callbacks take it, and destroying waits for them.
  MQTTClient_destroy(&handle);
  handle_ = nullptr;
  const std::lock_guard lock(mutex_);
  connected_ = false;
}

MqttAnswer MqttTestClient::Connect(const MqttConnect& how) {
  Disconnect();
  {
    const std::lock_guard lock(mutex_);
    lost_.clear();
    tls_errors_.clear();
    acknowledged_.clear();
  }
  std::string uri = how.url;
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"mqtt://", "tcp://"},
                                 std::pair<std::string, std::string>{"mqtts://", "ssl://"}}) {
    if (uri.rfind(from, 0) == 0) uri.replace(0, from.size(), to);
  }
  const bool tls = uri.rfind("ssl://", 0) == 0;

  MqttAnswer answer;
  MQTTClient handle = nullptr;
  MQTTClient_createOptions create = MQTTClient_createOptions_initializer;
  create.MQTTVersion = MQTTVERSION_5;
  int rc = MQTTClient_createWithOptions(&handle, uri.c_str(), how.client_id.c_str(),
                                        MQTTCLIENT_PERSISTENCE_NONE, nullptr, &create);
  if (rc != MQTTCLIENT_SUCCESS) {
    answer.error = how.url + ": " + Explain(rc);
    return answer;
  }
  handle_ = handle;
  MQTTClient_setCallbacks(handle, this, &PahoCallbacks::Lost, &PahoCallbacks::Message, nullptr);
  MQTTClient_setPublished(handle, this, &PahoCallbacks::Published);

  MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer5;
  options.cleanstart = how.clean_start ? 1 : 0;
  options.connectTimeout = static_cast<int>(kBrokerPatience);
  options.reliable = 0;
  if (!how.username.empty()) options.username = how.username.c_str();
  if (!how.password.empty()) options.password = how.password.c_str();
  MQTTClient_SSLOptions ssl = MQTTClient_SSLOptions_initializer;
  if (tls) {
    if (!how.ca_file.empty()) {
      ssl.trustStore = how.ca_file.c_str();
      ssl.disableDefaultTrustStore = 1;
    }
    if (!how.cert_file.empty()) ssl.keyStore = how.cert_file.c_str();
    if (!how.key_file.empty()) ssl.privateKey = how.key_file.c_str();
    ssl.enableServerCertAuth = 1;
    ssl.verify = 1;
    ssl.ssl_error_cb = &PahoCallbacks::TlsError;
    ssl.ssl_error_context = this;
    options.ssl = &ssl;
  }
  MQTTProperties properties = MQTTProperties_initializer;
  if (how.session_expiry > 0) {
    AddNumber(&properties, MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL, how.session_expiry);
  }
  MQTTResponse response = MQTTClient_connect5(handle, &options, &properties, nullptr);
  MQTTProperties_free(&properties);
  rc = Code(response);
  if (response.properties != nullptr &&
      MQTTProperties_hasProperty(response.properties,
                                 MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL) != 0) {
    answer.session_expiry = static_cast<std::uint32_t>(MQTTProperties_getNumericValue(
        response.properties, MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL));
  }
  MQTTResponse_free(response);
  answer.reason_code = rc;
  if (rc == MQTTREASONCODE_SUCCESS) {
    const std::lock_guard lock(mutex_);
    connected_ = true;
    return answer;
  }
  answer.reason_code = rc < 0 ? -1 : rc;
  {
    // OpenSSL's reasons say more than Paho's "Failure".
    const std::lock_guard lock(mutex_);
    answer.error = how.url + ": " + (tls_errors_.empty() ? Explain(rc) : "TLS: " + tls_errors_);
  }
  Destroy();
  return answer;
}

MqttAnswer MqttTestClient::Subscribe(const std::string& filter, int qos) {
  MqttAnswer answer;
  if (handle_ == nullptr) {
    answer.error = "not connected";
    return answer;
  }
  MQTTSubscribe_options options = MQTTSubscribe_options_initializer;
  MQTTResponse response =
      MQTTClient_subscribe5(Handle(handle_), filter.c_str(), qos, &options, nullptr);
  const int rc = Code(response);
  MQTTResponse_free(response);
  answer.reason_code = rc < 0 ? -1 : rc;
  if (rc < 0 || rc >= 0x80) answer.error = "subscribe " + filter + ": " + Explain(rc);
  return answer;
}

MqttAnswer MqttTestClient::Publish(const MqttMessage& message) {
  MqttAnswer answer;
  if (handle_ == nullptr) {
    answer.error = "not connected";
    return answer;
  }
  MQTTClient_message m = MQTTClient_message_initializer;
  m.payload = const_cast<char*>(message.payload.data());
  m.payloadlen = static_cast<int>(message.payload.size());
  m.qos = message.qos;
  m.retained = message.retained ? 1 : 0;
  if (message.content_type) {
    AddString(&m.properties, MQTTPROPERTY_CODE_CONTENT_TYPE, *message.content_type);
  }
  if (message.correlation_data) {
    AddString(&m.properties, MQTTPROPERTY_CODE_CORRELATION_DATA, *message.correlation_data);
  }
  if (message.response_topic) {
    AddString(&m.properties, MQTTPROPERTY_CODE_RESPONSE_TOPIC, *message.response_topic);
  }
  if (message.message_expiry) {
    AddNumber(&m.properties, MQTTPROPERTY_CODE_MESSAGE_EXPIRY_INTERVAL, *message.message_expiry);
  }
  for (const auto& [name, value] : message.user_properties) {
    AddString(&m.properties, MQTTPROPERTY_CODE_USER_PROPERTY, name, &value);
  }
  MQTTClient_deliveryToken token = 0;
  MQTTResponse response =
      MQTTClient_publishMessage5(Handle(handle_), message.topic.c_str(), &m, &token);
  MQTTProperties_free(&m.properties);
  const int rc = Code(response);
  MQTTResponse_free(response);
  if (rc != MQTTCLIENT_SUCCESS) {
    answer.error = "publish " + message.topic + ": " + Explain(rc);
    return answer;
  }
  if (message.qos == 0) {
    answer.reason_code = 0;
    return answer;
  }
  // The acknowledgement may have come before the token was handed back.
  std::unique_lock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(kBrokerPatience);
  for (;;) {
    for (auto it = acknowledged_.begin(); it != acknowledged_.end(); ++it) {
      if (it->first == token) {
        answer.reason_code = it->second;
        acknowledged_.erase(it);
        if (answer.reason_code >= 0x80) {
          answer.error = "publish " + message.topic + ": " + Explain(answer.reason_code);
        }
        return answer;
      }
    }
    if (!connected_) {
      answer.error = "publish " + message.topic + ": connection lost: " + lost_;
      return answer;
    }
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      answer.error = "publish " + message.topic + ": no acknowledgement in time";
      return answer;
    }
  }
}

MqttAnswer MqttTestClient::Publish(const std::string& topic, const std::string& payload, int qos,
                                   bool retained) {
  MqttMessage message;
  message.topic = topic;
  message.payload = payload;
  message.qos = qos;
  message.retained = retained;
  return Publish(message);
}

std::optional<MqttMessage> MqttTestClient::Next(double seconds) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                         [this] { return !received_.empty(); })) {
    return std::nullopt;
  }
  MqttMessage message = std::move(received_.front());
  received_.pop_front();
  return message;
}

void MqttTestClient::Disconnect() {
  if (handle_ == nullptr) return;
  if (connected()) {
    MQTTClient_disconnect5(Handle(handle_), 1000, MQTTREASONCODE_SUCCESS, nullptr);
  }
  Destroy();
}

bool MqttTestClient::connected() const {
  const std::lock_guard lock(mutex_);
  return connected_;
}

std::string MqttTestClient::lost() const {
  const std::lock_guard lock(mutex_);
  return lost_;
}

}  // namespace fiskal::testing
