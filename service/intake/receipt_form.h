// The two forms a receipt is posted in, both turned into the receipt that
// fiskal would send for the same fiskal.txt, checked by the same rules:
//  - text/plain: the body is a fiskal.txt, byte for byte;
//  - application/json: {"port": 1, "footer": "...", "items": [{"name": ...,
//    "tax": "1", "quantity": "1.25", "price": "2.50"}], "deadline":
//    "2026-12-09T14:30:00Z"} (footer and deadline optional), written out as the
//    fiskal.txt that holds the same values (quantity 1.25 is the field 125),
//    so that both forms give byte-identical frames.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "receipt/receipt.h"

namespace fiskal::service {

// Why a body was not taken.
struct FormProblem {
  int http_status = 400;  // 400: not a receipt at all; 422: a receipt fiskal refuses
  std::string detail;     // what fiskal would print, for refused input
  std::optional<std::size_t> line;  // text form: the line of fiskal.txt
  std::optional<std::size_t> item;  // JSON form: the index into "items"
  // The detail without what it means for a new receipt ("; nothing was
  // sent"): why the body is not a receipt, wherever that is told.
  std::string reason;
};

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
