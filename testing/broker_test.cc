// The test broker and client themselves: what later tests of fiskald rely
// on them for.
#include "testing/broker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fiskal::testing {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// A client on the TLS listener with the certificate of `name`.
MqttConnect AsClient(const TestBroker& broker, const std::string& name,
                     const std::string& client_id) {
  MqttConnect how;
  how.url = broker.tls_url();
  how.client_id = client_id;
  how.ca_file = broker.ca_file();
  how.cert_file = broker.cert_file(name);
  how.key_file = broker.key_file(name);
  return how;
}

MqttConnect Plain(const TestBroker& broker, const std::string& client_id) {
  MqttConnect how;
  how.url = broker.url();
  how.client_id = client_id;
  return how;
}

TEST(TestBroker, MessagesGoThroughWithTheirProperties) {
  TempDir dir;
  auto broker = TestBroker::StartOrFail(dir);
  MqttTestClient listener;
  ASSERT_EQ(listener.Connect(Plain(*broker, "listener")).reason_code, 0);
  ASSERT_EQ(listener.Subscribe("fiskal/#", 1).reason_code, 1);
  MqttTestClient sender;
  ASSERT_EQ(sender.Connect(Plain(*broker, "sender")).reason_code, 0);

  MqttMessage bare;
  bare.topic = "fiskal/A/states";
  MqttMessage full;
  full.topic = "fiskal/A/receipts";
  full.payload = std::string("binary\0\xff payload", 16);
  full.qos = 1;
  full.content_type = "text/plain; charset=utf-8";
  full.correlation_data = std::string("key\0\x01", 5);
  full.response_topic = "fiskal/A/answers/1";
  full.message_expiry = 3600;
  full.user_properties = {{"state", "queued"}, {"state", "printed"}, {"", ""}};
  MqttMessage retained = bare;
  retained.topic = "fiskal/A/status";
  retained.payload = R"({"online": true})";
  retained.qos = 1;
  retained.retained = true;

  for (const MqttMessage& sent : {bare, full, retained}) {
    SCOPED_TRACE(sent.topic);
    const MqttAnswer ack = sender.Publish(sent);
    EXPECT_EQ(ack.reason_code, 0) << ack.error;
    const std::optional<MqttMessage> got = listener.Next();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->topic, sent.topic);
    EXPECT_EQ(got->payload, sent.payload);
    EXPECT_EQ(got->qos, sent.qos);
    // A retained message is passed on to a live subscriber as not retained.
    EXPECT_FALSE(got->retained);
    EXPECT_EQ(got->content_type, sent.content_type);
    EXPECT_EQ(got->correlation_data, sent.correlation_data);
    EXPECT_EQ(got->response_topic, sent.response_topic);
    EXPECT_EQ(got->user_properties, sent.user_properties);
    if (sent.message_expiry) {
      ASSERT_TRUE(got->message_expiry);
      EXPECT_LE(*got->message_expiry, *sent.message_expiry);
      EXPECT_GT(*got->message_expiry, 0u);
    } else {
      EXPECT_FALSE(got->message_expiry);
    }
  }

  // One who subscribes later gets the retained one, marked so.
  MqttTestClient late;
  ASSERT_EQ(late.Connect(Plain(*broker, "late")).reason_code, 0);
  ASSERT_EQ(late.Subscribe("fiskal/A/status", 1).reason_code, 1);
  const std::optional<MqttMessage> status = late.Next();
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->retained);
  EXPECT_EQ(status->payload, retained.payload);
  EXPECT_FALSE(listener.Next(0.2));
}

// What each certificate may publish on the TLS listener; a live subscriber
// on the plain listener (no rights there) shows what got through.
TEST(TestBroker, TlsClientsPublishUnderTheirOwnShopOnly) {
  TempDir dir;
  auto broker = TestBroker::StartOrFail(dir);
  MqttTestClient listener;
  ASSERT_EQ(listener.Connect(Plain(*broker, "listener")).reason_code, 0);
  ASSERT_EQ(listener.Subscribe("#", 1).reason_code, 1);

  struct Case {
    std::string cert;
    std::string topic;
    int puback;
  };
  const std::vector<Case> cases = {
      {"A", "fiskal/A/x", 0},
      {"A", "fiskal/A", 0},
      {"A", "fiskal/B/x", 0x87},
      {"A", "fiskal/AB/x", 0x87},
      {"A", "elsewhere/x", 0x87},
      {"B", "fiskal/B/status", 0},
      {"B", "fiskal/A/x", 0x87},
      {"chain", "fiskal/A/receipts", 0},
      {"chain", "fiskal/B/receipts", 0},
      {"chain", "elsewhere/x", 0x87},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cert + " -> " + c.topic);
    MqttTestClient client;
    const MqttAnswer connected = client.Connect(AsClient(*broker, c.cert, "tls-" + c.cert));
    ASSERT_EQ(connected.reason_code, 0) << connected.error;
    const MqttAnswer ack = client.Publish(c.topic, "from " + c.cert);
    EXPECT_EQ(ack.reason_code, c.puback) << ack.error;
    const std::optional<MqttMessage> got = listener.Next(c.puback == 0 ? kBrokerPatience : 0.3);
    if (c.puback == 0) {
      ASSERT_TRUE(got);
      EXPECT_EQ(got->topic, c.topic);
    } else {
      EXPECT_FALSE(got) << got->topic;
    }
  }
}

// A shop that subscribes to another's topics is granted the subscription
// but sees nothing of them; the publisher is not told (PUBACK 0, not 0x10
// "no matching subscribers": the forbidden subscription counts as one).
TEST(TestBroker, AForbiddenSubscriptionIsGrantedButStaysEmpty) {
  TempDir dir;
  auto broker = TestBroker::StartOrFail(dir);
  MqttTestClient a;
  ASSERT_EQ(a.Connect(AsClient(*broker, "A", "shop-A")).reason_code, 0);
  const MqttAnswer granted = a.Subscribe("fiskal/B/#", 1);
  EXPECT_EQ(granted.reason_code, 1) << granted.error;
  MqttTestClient chain;
  ASSERT_EQ(chain.Connect(AsClient(*broker, "chain", "chain")).reason_code, 0);
  EXPECT_EQ(chain.Publish("fiskal/B/receipts", "for B").reason_code, 0);
  EXPECT_FALSE(a.Next(0.5));
}

// Connections refused, each with a reason a person can act on.
TEST(TestBroker, ConnectionsRefusedSayWhy) {
  TempDir dir;
  BrokerOptions options;
  options.password_listener = TestBroker::HasPasswords();
  auto broker = TestBroker::StartOrFail(dir, options);
  TempDir other_dir;
  BrokerOptions other_options;
  other_options.other_ca_server = true;
  auto impostor = TestBroker::StartOrFail(other_dir, other_options);

  struct Case {
    std::string what;
    MqttConnect how;
    int reason_code;
    std::string error;
  };
  MqttConnect wrong_ca = AsClient(*broker, "A", "wrong-ca");
  wrong_ca.ca_file = broker->other_ca_file();
  MqttConnect no_cert = AsClient(*broker, "A", "no-cert");
  no_cert.cert_file.clear();
  no_cert.key_file.clear();
  MqttConnect by_ip = AsClient(*broker, "A", "by-ip");
  by_ip.url = "mqtts://127.0.0.1:" + std::to_string(broker->tls_port());
  MqttConnect to_impostor = AsClient(*impostor, "A", "impostor");
  to_impostor.ca_file = broker->ca_file();
  to_impostor.cert_file = broker->cert_file("A");
  to_impostor.key_file = broker->key_file("A");
  std::vector<Case> cases = {
      {"a CA that did not sign the broker's certificate", wrong_ca, -1,
       "certificate verify failed"},
      {"a broker whose certificate another CA signed", to_impostor, -1,
       "certificate verify failed"},
      // Refused by the broker after the handshake: Paho tells no more.
      {"no client certificate", no_cert, -1, "Failure"},
      // The server certificate names 127.0.0.1 too.
      {"by IP address", by_ip, 0, ""},
  };
  if (options.password_listener) {
    MqttConnect good = Plain(*broker, "user-A");
    good.url = broker->password_url();
    good.username = "A";
    good.password = TestBroker::password("A");
    MqttConnect bad = good;
    bad.password = "wrong";
    MqttConnect anonymous = good;
    anonymous.username.clear();
    anonymous.password.clear();
    cases.push_back({"the right password", good, 0, ""});
    // Mosquitto answers a wrong password with "not authorized", not with
    // 0x86 "bad user name or password".
    cases.push_back({"a wrong password", bad, 0x87, "Not authorized"});
    cases.push_back({"no user name", anonymous, 0x87, "Not authorized"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MqttTestClient client;
    const MqttAnswer answer = client.Connect(c.how);
    EXPECT_EQ(answer.reason_code, c.reason_code) << answer.error;
    EXPECT_NE(answer.error.find(c.error), std::string::npos) << answer.error;
    EXPECT_EQ(client.connected(), c.reason_code == 0);
  }
}

TEST(TestBroker, PasswordUsersHaveTheirShopsRights) {
  if (!TestBroker::HasPasswords()) GTEST_SKIP() << "mosquitto_passwd is not installed";
  TempDir dir;
  BrokerOptions options;
  options.password_listener = true;
  auto broker = TestBroker::StartOrFail(dir, options);
  MqttConnect how = Plain(*broker, "user-B");
  how.url = broker->password_url();
  how.username = "B";
  how.password = TestBroker::password("B");
  MqttTestClient b;
  ASSERT_EQ(b.Connect(how).reason_code, 0);
  EXPECT_EQ(b.Publish("fiskal/B/x", "mine").reason_code, 0x10);
  EXPECT_EQ(b.Publish("fiskal/A/x", "not mine").reason_code, 0x87);
}

// A QoS 1 message for a persistent session that is away waits in the
// broker, and still waits there after the broker has been restarted.
TEST(TestBroker, QueuedMessagesOutliveARestart) {
  TempDir dir;
  auto broker = TestBroker::StartOrFail(dir);
  MqttConnect shop = AsClient(*broker, "A", "fiskald-A");
  shop.clean_start = false;
  shop.session_expiry = 3600;
  MqttTestClient receiver;
  const MqttAnswer first = receiver.Connect(shop);
  ASSERT_EQ(first.reason_code, 0) << first.error;
  ASSERT_EQ(receiver.Subscribe("fiskal/A/receipts", 1).reason_code, 1);
  receiver.Disconnect();

  MqttTestClient chain;
  ASSERT_EQ(chain.Connect(AsClient(*broker, "chain", "chain")).reason_code, 0);
  MqttMessage request;
  request.topic = "fiskal/A/receipts";
  request.payload = "receipt 1";
  request.qos = 1;
  request.correlation_data = "key-1";
  ASSERT_EQ(chain.Publish(request).reason_code, 0);

  const std::string url = broker->tls_url();
  ASSERT_TRUE(broker->Restart().ok()) << broker->log();
  EXPECT_EQ(broker->tls_url(), url);
  EXPECT_FALSE(chain.connected());

  const MqttAnswer again = receiver.Connect(shop);
  ASSERT_EQ(again.reason_code, 0) << again.error;
  const std::optional<MqttMessage> got = receiver.Next();
  ASSERT_TRUE(got) << broker->log();
  EXPECT_EQ(got->payload, "receipt 1");
  EXPECT_EQ(got->correlation_data, "key-1");
  EXPECT_EQ(got->qos, 1);
}

}  // namespace
}  // namespace fiskal::testing
