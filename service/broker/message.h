// A message arriving at fiskald's broker client, read into what intake
// takes: nothing (not the shop's receipts topic), a submission, or a
// refusal; and the answer a refusal is stored as in the outbox. Pure: the
// message comes in plain parts (no MQTT library types) and the time is
// given. What a receipt's message carries is read by ReadReceiptMessage
// (broker_rules.h); which topic is taken and the refusal's answer form
// are written here only.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "service/broker/broker_rules.h"
#include "service/intake/intake.h"
#include "service/journal/journal.h"

namespace fiskal::service {

// A message as it arrived: its topic, and its properties and payload.
struct ArrivedMessage {
  std::string topic;
  ReceiptMessage parts;
};

// What a message asks of intake.
struct Arrival {
  enum class Kind {
    kNotOurs,     // another topic than fiskal/<shop>/receipts: taken, and nothing stored
    kSubmission,  // `submission`, for intake
    kRefusal,     // `refusal`, answered without intake
  };
  Kind kind = Kind::kNotOurs;
  Submission submission;
  MessageRefusal refusal;
};

// What the message `m`, arrived for `shop` at `now_ms` (fiskald's clock,
// ms since the epoch), asks of intake.
Arrival ReadArrival(const std::string& shop, const ArrivedMessage& m, std::int64_t now_ms);

// The refusal of a submission that intake did not store: at its answer
// topic, under its key, with intake's status and detail.
MessageRefusal RefusalOf(const Submission& submission, const Outcome& outcome);

// The answer a refusal is stored as in the outbox: a problem document
// (application/problem+json, `extra`'s members after the detail) at the
// refusal's topic, with its Correlation Data.
OutboxAnswer RefusalAnswer(const MessageRefusal& refusal,
                           const nlohmann::ordered_json& extra = nlohmann::ordered_json::object());

}  // namespace fiskal::service
