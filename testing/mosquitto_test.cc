// The test broker and client themselves, where the broker behaves in a way
// fiskald's tests do not show by themselves.
#include "testing/mosquitto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fiskal::testing {
namespace {

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

// Mosquitto grants a subscription its access list forbids, then withholds
// the messages: fiskald cannot learn it from the grant, and watches the
// acknowledgement of its presence instead.
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

}  // namespace
}  // namespace fiskal::testing
