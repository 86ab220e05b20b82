// A receipt drawn as a paper slip in HTML, as the printer prints it: the
// item lines (name, quantity x unit price, line value, tax letter), the
// total, the footer. One drawing for fiskal-printer decode --html and for
// the shop's page of fiskald.
#pragma once

#include <string>
#include <string_view>

#include "protocol/receipt_check.h"

namespace fiskal {

// The slip as an HTML fragment: <div class="slip">...</div>, every text
// escaped. Bytes that are valid UTF-8 are shown as such, any other byte as
// the character of the same value (a code page's letters come out as
// Latin-1, never lost). Problems the check found are listed under the slip.
std::string SlipHtml(const ReceiptReport& report);

// The style of a slip: narrow, monospaced, on paper.
std::string_view SlipCss();

// A whole HTML page with one slip, its style inline and nothing fetched
// from elsewhere; `title` names the source.
std::string SlipPage(const ReceiptReport& report, std::string_view title);

}  // namespace fiskal
