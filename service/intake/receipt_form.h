// The two forms a receipt is posted in, both turned into the receipt that
// fiskal would send for the same fiskal.txt, checked by the same rules:
//  - text/plain: the body is a fiskal.txt, byte for byte;
//  - application/json: {"port": 1, "footer": "...", "items": [{"name": ...,
//    "tax": "1", "quantity": "1.25", "price": "2.50"}], "deadline":
//    "2026-12-09T14:30:00Z"} (footer and deadline optional), written out as the
//    fiskal.txt that holds the same values (quantity 1.25 is the field 125),
//    so that both forms give byte-identical frames.
// Which of the two a content type names (or the 415 refusal of any other),
// and the media type of a content type, are written here only: the API
// and the broker client both ask ReceiptFormOf.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "receipt/receipt.h"

namespace fiskal::service {

// Why a body was not taken.
struct FormProblem {
  // 400: not a receipt at all; 415: not in a form taken; 422: a receipt
  // fiskal refuses.
  int http_status = 400;
  std::string detail;     // what fiskal would print, for refused input
  std::optional<std::size_t> line;  // text form: the line of fiskal.txt
  std::optional<std::size_t> item;  // JSON form: the index into "items"
  // The detail without what it means for a new receipt ("; nothing was
  // sent"): why the body is not a receipt, wherever that is told.
  std::string reason;
};

// The media type of a content type (an HTTP Content-Type, an MQTT Content
// Type): lower case, its parameters cut, blanks around it trimmed.
std::string MediaTypeOf(std::string_view content_type);

// How a transport words a refusal of a receipt's content type: how a
// receipt is brought ("posted", "published") and how a message without
// one is named ("without a Content-Type").
struct ContentTypeWords {
  std::string_view brought;
  std::string_view without;
};

// Whether a receipt of `content_type` is in the JSON form (*json true) or
// the text form (false), or the 415 problem naming the two it may be.
std::optional<FormProblem> ReceiptFormOf(std::string_view content_type,
                                         const ContentTypeWords& words, bool* json);

// The fiskal.txt of a JSON receipt, or the problem with the JSON. The body
// is refused at its first fault as it is read (the 256th item, an unknown
// field, a list or an object where one value belongs), the rest unread.
// The receipt's own deadline (the member "deadline", a string, read by the
// caller) goes to *deadline when given; nothing when there is none.
std::optional<FormProblem> JsonToFiskalTxt(std::string_view body, std::string* fiskal_txt,
                                           std::optional<std::string>* deadline = nullptr);

// The receipt of a fiskal.txt. `json` says the text came from a JSON body,
// so a refusal names the item rather than the line.
std::optional<FormProblem> PrepareFromText(std::string_view fiskal_txt, bool json,
                                           Receipt* receipt);

// A decimal amount in units with at most two decimals ("1.25", "3", "0.5")
// as the field of hundredths fiskal.txt carries ("125", "300", "50"), or
// nothing when it is not such a decimal.
std::optional<std::string> DecimalToHundredths(std::string_view decimal);

}  // namespace fiskal::service
