// A receipt's message read into a submission or a refusal; the hints for
// the broker's refusals: which codes get one, at which step, and what each
// names.

#include "service/broker/broker_rules.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fiskal::service {
namespace {

TEST(BrokerRules, MessagesToSubmissions) {
  auto message = [](std::optional<std::string> type, std::optional<std::string> key,
                    std::optional<std::string> reply) {
    ReceiptMessage m;
    m.content_type = std::move(type);
    m.correlation = std::move(key);
    m.response_topic = std::move(reply);
    m.body = "{}";
    return m;
  };
  struct Case {
    const char* what;
    ReceiptMessage m;
    int status;         // 0: a submission
    std::string topic;  // where its answers go
    bool json = false;
  };
  const std::string states = "fiskal/A/states";
  const std::vector<Case> cases = {
      {"JSON, answered at its topic", message("application/json", "k1", "fiskal/A/till/1"), 0,
       "fiskal/A/till/1", true},
      {"text with a charset, no response topic", message("text/plain; charset=windows-1250", "k2",
                                                          std::nullopt),
       0, states},
      {"a type in capitals, spaces around", message(" Application/JSON ;x=y", "k3", std::nullopt),
       0, states, true},
      {"another shop's topic", message("application/json", "k4", "fiskal/B/answers"), 400,
       states},
      {"the shop's prefix alone", message("application/json", "k5", "fiskal/A/"), 400, states},
      {"a wildcard", message("application/json", "k6", "fiskal/A/+"), 400, states},
      {"a prefix of the shop's id", message("application/json", "k7", "fiskal/AB/x"), 400,
       states},
      {"no correlation data", message("application/json", std::nullopt, "fiskal/A/x"), 400,
       "fiskal/A/x"},
      {"an empty key", message("application/json", "", "fiskal/A/x"), 400, "fiskal/A/x"},
      {"a 256-byte key", message("application/json", std::string(256, 'k'), std::nullopt), 400,
       states},
      {"a control character in the key", message("text/plain", "a\nb", std::nullopt), 400,
       states},
      {"no content type", message(std::nullopt, "k8", std::nullopt), 415, states},
      {"another content type", message("application/xml", "k9", std::nullopt), 415, states},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Submission s;
    MessageRefusal r;
    const bool taken = ReadReceiptMessage("A", c.m, 1000, &s, &r);
    if (c.status == 0) {
      ASSERT_TRUE(taken) << r.detail;
      EXPECT_EQ(s.key, *c.m.correlation);
      EXPECT_EQ(s.json, c.json);
      EXPECT_EQ(s.body, "{}");
      EXPECT_EQ(s.deadline_ms, 0);
      ASSERT_TRUE(s.answer_to);
      EXPECT_EQ(s.answer_to->topic, c.topic);
      EXPECT_EQ(s.answer_to->correlation, *c.m.correlation);
      EXPECT_TRUE(s.wait_for_key);
    } else {
      ASSERT_FALSE(taken);
      EXPECT_EQ(r.status, c.status) << r.detail;
      EXPECT_EQ(r.topic, c.topic);
      EXPECT_EQ(r.correlation, c.m.correlation.value_or(""));
      EXPECT_FALSE(r.detail.empty());
    }
  }
  // The Message Expiry Interval is a deadline from when it is taken.
  ReceiptMessage timed = message("text/plain", "k10", std::nullopt);
  timed.expiry_seconds = 5;
  Submission s;
  MessageRefusal r;
  ASSERT_TRUE(ReadReceiptMessage("A", timed, 1000, &s, &r));
  EXPECT_EQ(s.deadline_ms, 6000);
}

TEST(BrokerRules, AccessHints) {
  const BrokerIdentity user{"fiskald-A", "till", ""};
  const BrokerIdentity cert{"fiskald-A", "", "CN=A (a.pem)"};
  const BrokerIdentity nobody{"fiskald-A", "", ""};
  struct Case {
    int code;
    BrokerStep step;
    const BrokerIdentity& who;
    std::vector<std::string> says;  // empty: no hint
  };
  const std::string needs = "a shop needs fiskal/A/# at the broker";
  const std::vector<Case> cases = {
      {0x86, BrokerStep::kConnect, user,
       {"check --broker-user and the password in --broker-password-file", needs,
        "the broker saw user \"till\", client id fiskald-A"}},
      {0x87, BrokerStep::kConnect, user,
       {"check --broker-user", "access list lets this identity connect", needs}},
      {0x87, BrokerStep::kConnect, nobody,
       {"the broker may want a user", "--broker-cert",
        "the broker saw an anonymous client (no --broker-user, no --broker-cert), client id "
        "fiskald-A"}},
      {0x87, BrokerStep::kSubscribe, cert,
       {"does not let this client subscribe to fiskal/A/receipts", needs,
        "the broker saw the client certificate CN=A (a.pem), client id fiskald-A"}},
      {0x87, BrokerStep::kPublish, cert,
       {"does not let this client publish on fiskal/A/status", needs}},
      {0x90, BrokerStep::kPublish, user, {"publish on fiskal/A/status", needs}},
      {0x8F, BrokerStep::kSubscribe, user, {"subscribe to fiskal/A/receipts", needs}},
      {0x85, BrokerStep::kConnect, user, {"does not take the client id fiskald-A"}},
      // Not about access: no hint.
      {0x85, BrokerStep::kPublish, user, {}},
      {0x80, BrokerStep::kConnect, user, {}},
      {0x97, BrokerStep::kPublish, user, {}},
      {0x9F, BrokerStep::kConnect, user, {}},
      {0x10, BrokerStep::kPublish, user, {}},
  };
  for (const Case& c : cases) {
    const std::string topic =
        c.step == BrokerStep::kSubscribe ? ReceiptsTopic("A")
        : c.step == BrokerStep::kPublish ? StatusTopic("A")
                                         : std::string();
    const std::string hint = AccessHint(c.code, c.step, "A", topic, c.who);
    SCOPED_TRACE(std::to_string(c.code) + " at " + StepName(c.step) + ": " + hint);
    if (c.says.empty()) {
      EXPECT_EQ(hint, "");
      continue;
    }
    for (const std::string& part : c.says) EXPECT_NE(hint.find(part), std::string::npos) << part;
  }
}

// A connection that failed before the broker answered: what TLS said (if
// anything), the scheme and the client certificate decide the hint, and a
// hint names only options fiskald takes, with the URL of the other scheme.
TEST(BrokerRules, ConnectFailureHints) {
  struct Case {
    const char* url;
    const char* tls_error;
    const char* cert;
    std::vector<const char*> says;
    const char* never;  // nullptr: nothing to look for
  };
  const Case cases[] = {
      {"mqtt://broker.example:8883", "", "",
       {"; check that a broker listens at broker.example:8883",
        "; if the broker's port 8883 takes TLS, give --broker mqtts://broker.example:8883 (and "
        "--broker-ca)"},
       "--broker-cert"},
      {"mqtt://broker.example/", "", "", {"give --broker mqtts://broker.example:1883 "}, nullptr},
      {"mqtts://[::1]:1883", "", "",
       {"; if the broker wants a client certificate, give --broker-cert and --broker-key",
        "; if the broker's port 1883 takes plain MQTT, give --broker mqtt://[::1]:1883"},
       nullptr},
      {"mqtts://b.example", "", "/etc/fiskald/shop.pem",
       {"; if the broker refused the client certificate /etc/fiskald/shop.pem, check that a CA "
        "the broker trusts issued it"},
       "give --broker-cert"},
      {"mqtts://b.example", "error:0A000086:SSL routines::certificate verify failed", "",
       {": the broker's certificate is not trusted (certificate verify failed); give the CA that "
        "issued it with --broker-ca"},
       "mqtt://"},
      {"mqtts://b.example", "error:0A00045C:SSL routines::tlsv13 alert certificate required", "",
       {"; the broker wants a client certificate fiskald did not give: give --broker-cert and "
        "--broker-key (TLS: error:0A00045C"},
       "mqtt://"},
      {"mqtts://b.example", "error:0A000418:SSL routines::tlsv1 alert unknown ca", "c.pem",
       {"; the broker refused the client certificate c.pem: it must be issued by a CA the "
        "broker trusts"},
       "mqtt://"},
      {"mqtts://b.example", "error:0A00010B:SSL routines::wrong version number", "",
       {" (TLS: error:0A00010B:SSL routines::wrong version number); check that",
        "give --broker mqtt://b.example:8883"},
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.url) + " " + c.tls_error + " " + c.cert);
    const std::string hint = ConnectFailureHint(c.url, c.tls_error, c.cert);
    for (const char* words : c.says) EXPECT_NE(hint.find(words), std::string::npos) << hint;
    if (c.never != nullptr) {
      EXPECT_EQ(hint.find(c.never), std::string::npos) << hint;
    }
  }
  EXPECT_EQ(ConnectFailureHint("http://b.example", "", ""), "");
}

TEST(BrokerRules, SessionExpiryGranted) {
  struct Case {
    std::int64_t asked, granted;
    bool warning;
    std::string says;
  };
  const std::vector<Case> cases = {
      {604800, 604800, false, "connected; the broker keeps fiskald's session for 604800 s, as "
                              "asked (7 days, --broker-session-days)"},
      {86400, 86400, false, "for 86400 s, as asked (1 days"},
      {604800, 3600, true, "warning: the broker keeps fiskald's session for 3600 s only, not the "
                           "604800 s asked (7 days, --broker-session-days): receipts published "
                           "while fiskald is away longer than that are lost"},
      {604800, 0, true, "for 0 s only"},
      {604800, 604799, true, "for 604799 s only"},
      {86400, 4294967295, false, "for 4294967295 s, 86400 s asked (1 days"},  // "never expires"
  };
  for (const Case& c : cases) {
    bool warning = !c.warning;
    const std::string line = SessionExpiryLine(c.asked, c.granted, &warning);
    EXPECT_EQ(warning, c.warning) << line;
    EXPECT_NE(line.find(c.says), std::string::npos) << line;
  }
}

TEST(BrokerRules, IdentitiesAsTheBrokerSawThem) {
  EXPECT_EQ(Describe({ClientIdOf("A"), "u", "CN=x"}),
            "user \"u\" with the client certificate CN=x, client id fiskald-A");
  EXPECT_EQ(Describe({ClientIdOf("shop.1"), "", ""}),
            "an anonymous client (no --broker-user, no --broker-cert), client id fiskald-shop.1");
}

}  // namespace
}  // namespace fiskal::service
