// A message arriving at the broker client, read into what intake takes
// (see message.h); which topic is taken and a refusal's answer form are
// written here only.
#include "service/broker/message.h"

#include "service/documents.h"

namespace fiskal::service {

Arrival ReadArrival(const std::string& shop, const ArrivedMessage& m, std::int64_t now_ms) {
  Arrival arrival;
  if (m.topic != ReceiptsTopic(shop)) return arrival;  // not ours to take
  arrival.kind = ReadReceiptMessage(shop, m.parts, now_ms, &arrival.submission, &arrival.refusal)
                     ? Arrival::Kind::kSubmission
                     : Arrival::Kind::kRefusal;
  return arrival;
}

MessageRefusal RefusalOf(const Submission& submission, const Outcome& outcome) {
  return MessageRefusal{submission.answer_to ? submission.answer_to->topic : std::string(),
                        submission.key, outcome.status, outcome.detail};
}

OutboxAnswer RefusalAnswer(const MessageRefusal& refusal, const nlohmann::ordered_json& extra) {
  OutboxAnswer a;
  a.topic = refusal.topic;
  a.correlation = refusal.correlation;
  a.content_type = "application/problem+json";
  a.payload = Dump(ProblemJson(refusal.status, refusal.detail, extra));
  return a;
}

}  // namespace fiskal::service
