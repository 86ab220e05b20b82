// What the API answers: JSON and problem documents as HTTP answers, and
// a receipt's transcript.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "service/documents.h"
#include "service/http/http.h"
#include "service/journal/journal.h"

namespace fiskal::service {

// An answer of JSON.
http::Response JsonAnswer(int status, const nlohmann::ordered_json& body);
// A problem as an answer (application/problem+json).
http::Response ProblemAnswer(int status, const std::string& detail,
                             const nlohmann::ordered_json& extra = nlohmann::ordered_json::object());

// The bytes fiskal.log would hold for the texts sent so far.
std::string TranscriptOf(const StoredReceipt& receipt);

}  // namespace fiskal::service
