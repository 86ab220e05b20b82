// The JSON documents fiskald gives out, over HTTP and over the broker
// alike, written here only: a receipt, the printers, a problem (RFC 9457),
// and the JSON text of any of them.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/journal/journal.h"
#include "service/printers/printers.h"

namespace fiskal::service {

// The receipt resource: id, idempotency_key, state, port, device, footer,
// items (number, name, tax letter, quantity, price, line value, as
// printed), total, texts_total, texts_sent, message, accepted_at,
// finished_at, deadline, in that order. Names and the footer are taken as UTF-8; bytes that are not
// are shown as U+FFFD (the transcript has them exactly).
nlohmann::ordered_json ReceiptJson(const StoredReceipt& receipt);

// The JSON text of a value; invalid UTF-8 is replaced, never thrown over.
std::string Dump(const nlohmann::ordered_json& value);

// The printers as GET /v1/printers lists them.
nlohmann::ordered_json PrintersJson(const std::vector<PrinterStatus>& printers);

// A problem document (RFC 9457): type about:blank, the status's reason
// phrase as its title, the status, the detail, then `extra`'s members.
nlohmann::ordered_json ProblemJson(int status, const std::string& detail,
                                   const nlohmann::ordered_json& extra = nlohmann::ordered_json::object());

}  // namespace fiskal::service
