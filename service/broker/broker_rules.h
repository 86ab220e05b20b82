// The broker's side of fiskald as the rest of it sees it, without the MQTT
// library: the topics of a shop, a shop's id, a broker's URL, what a
// receipt's message asks for (a submission, or a refusal), the hints for
// the broker's refusals, and the state of the connection the API shows.
// The topics' names, the reading of a message's properties and the
// refusals' hints are decided here only.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>
#include <utility>

#include "base/status.h"
#include "service/intake/intake.h"

namespace fiskal::service {

// The topics of a shop.
std::string ReceiptsTopic(const std::string& shop);
std::string StatesTopic(const std::string& shop);
std::string StatusTopic(const std::string& shop);

// Whether `shop` is a shop id: 1 to 64 of A-Z a-z 0-9 . _ -
bool ValidShop(const std::string& shop);
// The library's address of a broker URL (tcp://HOST:PORT, ssl://HOST:PORT;
// one "/" may end the URL), or an error saying what is wrong with it.
Status BrokerAddress(const std::string& url, std::string* address);

// A message on fiskal/<shop>/receipts: its properties as they came
// (nothing: absent) and its payload.
struct ReceiptMessage {
  std::optional<std::string> content_type;
  std::optional<std::string> correlation;
  std::optional<std::string> response_topic;
  std::optional<std::uint32_t> expiry_seconds;  // Message Expiry Interval
  // The receipt's own deadlines: each user property "deadline" (RFC 3339),
  // checked by fiskald's clock, since a broker may deliver an expired
  // message late.
  std::vector<std::string> deadlines;
  std::string body;
};

// A message that is no receipt: the problem that answers it, where.
struct MessageRefusal {
  std::string topic;
  std::string correlation;  // empty: the message had none
  int status = 0;
  std::string detail;
};

// What a message of `shop`'s asks for, taken at `now_ms`: true and the
// receipt's submission (answered at its Response Topic, else
// fiskal/<shop>/states; its expiry a deadline), or false and the refusal
// (a Response Topic outside fiskal/<shop>/, no or a bad Correlation Data,
// a Content Type other than text/plain or application/json).
bool ReadReceiptMessage(const std::string& shop, const ReceiptMessage& message,
                        std::int64_t now_ms, Submission* submission, MessageRefusal* refusal);

// A step at which a broker may refuse fiskald.
enum class BrokerStep { kConnect, kSubscribe, kPublish };
const char* StepName(BrokerStep step);  // "connect", "subscribe", "publish"

// Who fiskald is to the broker: its client id and how it proved who it
// is (a user name, a client certificate, or neither).
struct BrokerIdentity {
  std::string client_id;
  std::string user;         // empty: none given
  std::string certificate;  // its subject (CN=...), or the file; empty: none
};
std::string ClientIdOf(const std::string& shop);  // fiskald-<shop>
// "user \"A\" (client id fiskald-A)", "the client certificate CN=A ...".
std::string Describe(const BrokerIdentity& who);

// What a shop must do about a refusal with MQTT reason `code` at `step`
// (on `topic`, for a subscription or a publish): the topics a shop needs
// and the identity the broker saw, for the access refusals (0x85 Client
// Identifier not valid, 0x86 Bad user name or password, 0x87 Not
// authorized, 0x8F Topic Filter invalid, 0x90 Topic Name invalid); empty
// for any other code.
std::string AccessHint(int code, BrokerStep step, const std::string& shop,
                       const std::string& topic, const BrokerIdentity& who);

// What to check when a connection to broker `url` failed before the
// broker answered (no CONNACK): TLS spoken to a plain port or the other
// way round, a client certificate the broker wants or refused. `tls_error`
// is what TLS said (OpenSSL's line; empty: nothing), `client_cert` the
// --broker-cert given (empty: none). Begins with "; ", or is empty when
// there is nothing to add to what TLS said.
std::string ConnectFailureHint(const std::string& url, const std::string& tls_error,
                               const std::string& client_cert);

// The log line for the session expiry a broker granted (its CONNACK's
// Session Expiry Interval, or the one asked when absent), in seconds;
// *warning is set when it is shorter than asked, as receipts published
// while fiskald is away longer than that are lost.
std::string SessionExpiryLine(std::int64_t asked, std::int64_t granted, bool* warning);

struct BrokerState {
  std::string url;
  std::string shop;
  bool connected = false;
  std::int64_t since_ms = 0;  // when `connected` last changed (0: never connected)
  std::string last_error;
  std::uint64_t errors = 0;
  std::int64_t answers_waiting = 0;  // in the outbox
  // The session's expiry, in seconds: asked in CONNECT, and granted in
  // the last CONNACK (nothing until the first connection).
  std::int64_t session_expiry_asked = 0;
  std::optional<std::int64_t> session_expiry_granted;
  // Refusals by the broker, counted by step and reason code.
  std::map<std::pair<BrokerStep, int>, std::uint64_t> refusals;
};

// What GET /v1/broker and /metrics read.
class BrokerStatus {
 public:
  virtual ~BrokerStatus() = default;
  virtual BrokerState State() = 0;
};

}  // namespace fiskal::service
