// An MQTT broker of a test, whichever it is: what a test needs of it, so
// that one test body runs against each (TestBroker, mosquitto.h;
// TestEjabberd, ejabberd.h); and what their launchers share: free ports,
// the certificates made by the shipped make-certs.sh, filling in the places of
// a shipped configuration. The brokers end with the test.
#pragma once

#include <string>
#include <vector>

#include "base/status.h"
#include "testing/mqtt_client.h"

namespace fiskal::testing {

// A broker of a test, whichever it is.
class MqttBroker {
 public:
  virtual ~MqttBroker() = default;
  // "mosquitto" or "ejabberd".
  virtual const char* kind() const = 0;
  // The plain listener: mqtt://127.0.0.1:PORT.
  virtual std::string url() const = 0;
  // How `user` ("A", "B", "chain") connects to url() with `client_id`:
  // with a user name and password where the listener asks for them.
  virtual MqttConnect As(const std::string& user, const std::string& client_id) const = 0;
  // fiskald's options to take receipts for `shop` from url(), known to
  // the broker as `user`.
  virtual std::vector<std::string> FiskaldOptions(const std::string& shop,
                                                  const std::string& user) const = 0;
  // Whether sessions and the messages queued for them outlive Restart().
  virtual bool keeps_sessions() const = 0;
  virtual bool running() const = 0;
  // All the broker has logged, over every start in its folder.
  virtual std::string log() const = 0;
  // SIGTERM, and waits until it has ended.
  virtual Status Stop() = 0;
  // SIGKILL.
  virtual void Kill() = 0;
  // Stops it when it runs and starts it again on the same ports and
  // folder.
  virtual Status Restart() = 0;
  // The password of a user, wherever there are passwords.
  static std::string password(const std::string& user) { return "secret-" + user; }
};

// --- for the launchers ---

// `count` distinct ports free on 127.0.0.1 now (one may be taken before it
// is bound: a launcher tries other ones then). Throws std::runtime_error
// when there are none.
std::vector<int> FreePorts(int count);

// In `dir`, made by examples/certificates/make-certs.sh as a chain makes
// them: the chain's CA (chain-ca.pem, .key), the broker's certificate for
// localhost and 127.0.0.1 (broker.pem, .key), a client certificate for
// each of `clients` (NAME.pem, .key, its CN the name); with `other_ca`, an
// unrelated CA and a broker certificate of its own in dir/other (the same
// names). The script's output in dir/tools.log.
Status MakeCertificates(const std::string& dir, const std::vector<std::string>& clients,
                        bool other_ca);

// `text` with every `from` replaced by `to`: a shipped configuration's
// places (@PORT@, ...) filled in.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to);

}  // namespace fiskal::testing
