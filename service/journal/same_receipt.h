// The same receipt: the rule an Idempotency-Key is held to, decided here
// only. Two requests bring the same receipt when they would print the same:
// the same port and the same texts, byte for byte, in the same order,
// whatever form the body came in (JSON with its members in any order, any
// spacing, an amount written 1.5, "1.5" or "1.50"; or the fiskal.txt of the
// same sale). Everything else a request carries (its deadline, where its
// answers go) is not part of it.
//
// A receipt's fingerprint is the SHA-256 of its port and its texts, each
// text length-prefixed so that no two receipts share the encoding. It is
// computed from a receipt just prepared (to compare) and from what the
// journal stores (its port and texts: on every new receipt, and for the
// receipts of an older journal when it is brought up to date).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "receipt/receipt.h"
#include "service/journal/journal.h"

namespace fiskal::service {

// The 32 bytes of the fingerprint of the receipt that sends `texts` on
// `port`.
std::string ReceiptFingerprint(int port, const std::vector<std::string_view>& texts);
std::string ReceiptFingerprint(const Receipt& receipt);
std::string ReceiptFingerprint(int port, const std::vector<JournalText>& texts);

}  // namespace fiskal::service
