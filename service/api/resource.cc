#include "service/api/resource.h"

#include "protocol/transcript_record.h"

namespace fiskal::service {

using Json = nlohmann::ordered_json;

http::Response JsonAnswer(int status, const Json& body) {
  http::Response r;
  r.status = status;
  r.content_type = "application/json";
  r.body = Dump(body);
  return r;
}

http::Response ProblemAnswer(int status, const std::string& detail, const Json& extra) {
  http::Response r;
  r.status = status;
  r.content_type = "application/problem+json";
  r.body = Dump(ProblemJson(status, detail, extra));
  return r;
}

std::string TranscriptOf(const StoredReceipt& receipt) {
  std::string transcript;
  for (const JournalText& t : receipt.texts) {
    if (t.sent) transcript += TranscriptRecord(t.bytes);
  }
  return transcript;
}

}  // namespace fiskal::service
