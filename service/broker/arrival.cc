// A message arriving at the broker client: its parts taken out of Paho's
// message, read (message.h), its receipt stored through intake or its
// refusal stored in the outbox, and only then acknowledged; or, when
// neither could be stored, withheld from the broker, which delivers it
// again. The acknowledgement's moment is decided here only.
#include <MQTTAsync.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "service/broker/broker_impl.h"
#include "service/broker/message.h"

namespace fiskal::service {

using Clock = std::chrono::steady_clock;

namespace {

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

// The parts of a message that fiskald reads, as they came.
ReceiptMessage PartsOf(MQTTAsync_message& m) {
  ReceiptMessage message;
  bool present = false;
  std::string value = Property(&m.properties, MQTTPROPERTY_CODE_CONTENT_TYPE, &present);
  if (present) message.content_type = value;
  value = Property(&m.properties, MQTTPROPERTY_CODE_CORRELATION_DATA, &present);
  if (present) message.correlation = value;
  value = Property(&m.properties, MQTTPROPERTY_CODE_RESPONSE_TOPIC, &present);
  if (present) message.response_topic = value;
  if (MQTTProperty* e =
          MQTTProperties_getProperty(&m.properties, MQTTPROPERTY_CODE_MESSAGE_EXPIRY_INTERVAL)) {
    message.expiry_seconds = e->value.integer4;
  }
  message.deadlines = UserProperties(&m.properties, "deadline");
  message.body.assign(static_cast<const char*>(m.payload), static_cast<std::size_t>(m.payloadlen));
  return message;
}

}  // namespace

int Broker::Impl::OnMessage(void* context, char* topic, int topic_length,
                            MQTTAsync_message* message) {
  auto* self = static_cast<Impl*>(context);
  const std::string name = topic_length > 0 ? std::string(topic, topic_length) : std::string(topic);
  const ArrivedMessage arrived{name, PartsOf(*message)};
  std::string unkept;
  const bool kept = self->Take(arrived, &unkept);
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
void Broker::Impl::Withhold(const std::string& topic, const std::string& why) {
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
bool Broker::Impl::Take(const ArrivedMessage& message, std::string* unkept) {
  auto refuse = [&](const MessageRefusal& r, const nlohmann::ordered_json& extra) {
    StopInArrival("before");
    if (Status s = journal.StoreAnswer(RefusalAnswer(r, extra)); !s.ok()) {
      *unkept = (r.status >= 500 ? r.detail + "; " : std::string()) + "its refusal " +
                std::to_string(r.status) + ": " + s.message();
      return false;
    }
    StopInArrival("after");
    return true;
  };

  const Arrival arrival = ReadArrival(options.shop, message, journal.NowMs());
  switch (arrival.kind) {
    case Arrival::Kind::kNotOurs:
      return true;
    case Arrival::Kind::kRefusal:
      return refuse(arrival.refusal, nlohmann::ordered_json::object());
    case Arrival::Kind::kSubmission:
      break;
  }
  StopInArrival("before");
  const Outcome outcome = intake.Submit(arrival.submission);
  if (outcome.stored()) {
    StopInArrival("after");
    return true;
  }
  return refuse(RefusalOf(arrival.submission, outcome), outcome.extra);
}

// A build of fiskald made for tests stops at a point of taking a message
// ("before" or "after" its commit) to kill it there; the shipped one has
// no such point.
void Broker::Impl::StopInArrival(const char* where) {
  if (options.stop_in_arrival) options.stop_in_arrival(where);
}

}  // namespace fiskal::service
