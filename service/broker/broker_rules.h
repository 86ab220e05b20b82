// The broker's side of fiskald as the rest of it sees it, without the MQTT
// library: the topics of a shop, a shop's id, a broker's URL, and the
// state of the connection the API shows. The topics' names are decided
// here only.
#pragma once

#include <cstdint>
#include <string>

#include "base/status.h"

namespace fiskal::service {

// The topics of a shop.
std::string ReceiptsTopic(const std::string& shop);
std::string StatesTopic(const std::string& shop);
std::string StatusTopic(const std::string& shop);

// Whether `shop` is a shop id: 1 to 64 of A-Z a-z 0-9 . _ -
bool ValidShop(const std::string& shop);
// The library's address of a broker URL (tcp://HOST:PORT, ssl://HOST:PORT),
// or an error saying what is wrong with it.
Status BrokerAddress(const std::string& url, std::string* address);

struct BrokerState {
  std::string url;
  std::string shop;
  bool connected = false;
  std::int64_t since_ms = 0;  // when `connected` last changed (0: never connected)
  std::string last_error;
  std::uint64_t errors = 0;
  std::int64_t answers_waiting = 0;  // in the outbox
};

// What GET /v1/broker and /metrics read.
class BrokerStatus {
 public:
  virtual ~BrokerStatus() = default;
  virtual BrokerState State() = 0;
};

}  // namespace fiskal::service
