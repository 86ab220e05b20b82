// fiskald's broker client: receipts taken from an MQTT 5 broker, for shops
// that nothing can reach (behind NAT). fiskald connects out, in a
// persistent session, subscribes to fiskal/<shop>/receipts at QoS 1, and
// takes each message through the same intake as the HTTP API; the broker
// has its acknowledgement only once the receipt, or the refusal that
// answers it, is in the journal. Answers wait in the journal's outbox and
// are published from there until the broker has each. Presence is a
// retained message on fiskal/<shop>/status, with a retained Will.
// The answers' form and the acknowledgement's moment are decided in this
// client only: a refusal's answer in message.cc, the acknowledgement's
// moment in arrival.cc (broker_impl.h says which file holds what).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/status.h"
#include "service/broker/broker_rules.h"
#include "service/intake/intake.h"
#include "service/journal/journal.h"
#include "service/printers/printers.h"

namespace fiskal::service {

struct BrokerOptions {
  std::string url;   // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
  std::string shop;  // 1 to 64 of A-Z a-z 0-9 . _ -
  std::string ca_file;  // empty: the system's CA certificates
  std::string cert_file;
  std::string key_file;
  std::string user;
  std::string password;
  int session_days = 7;
  // How messages are logged (one line each), as the rest of fiskald logs.
  std::function<void(const std::string&)> log;
  // A point a build of fiskald made for tests stops at ("before" or "after"
  // the commit of an arriving message); none in the shipped fiskald.
  std::function<void(const char* where)> stop_in_arrival;
};

class Broker : public BrokerStatus {
 public:
  // Starts connecting (and trying again, with backoff, for as long as it
  // runs). Fails only on options the library refuses.
  static Status Start(BrokerOptions options, Journal& journal, Intake& intake, Printers& printers,
                      std::unique_ptr<Broker>* broker);
  ~Broker();

  BrokerState State() override;
  // A printer's state changed: the presence is published again (at most
  // once a second).
  void PrintersChanged();
  // The outbox has new answers.
  void OutboxChanged();
  // Publishes what the outbox holds (for at most `seconds`), the presence
  // offline, and disconnects.
  void Stop(double seconds);

  struct Impl;

 private:
  explicit Broker(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace fiskal::service
