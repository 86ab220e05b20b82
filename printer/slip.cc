#include "printer/slip.h"

#include <cstdint>

#include "protocol/frames.h"

namespace fiskal {

namespace {

// The length of the UTF-8 sequence at text[i], or 0 when there is none.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  std::size_t n = 0;
  std::uint32_t min = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  std::uint32_t code = c & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return n;
}

// Text for HTML: markup characters escaped, control bytes shown as
// U+2400.. pictures (an LF breaks the line), UTF-8 kept, other bytes as
// Latin-1.
std::string Html(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      if (const std::size_t n = Utf8Length(text, i)) {
        out.append(text.substr(i, n));
        i += n;
        continue;
      }
      out += "&#" + std::to_string(c) + ";";
    } else if (c == kLf) {
      out += "<br>";
    } else if (c < 0x20 || c == 0x7F) {
      out += "&#" + std::to_string(c == 0x7F ? 0x2421 : 0x2400 + c) + ";";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '"') {
      out += "&quot;";
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

}  // namespace

std::string SlipHtml(const ReceiptReport& report) {
  std::string html = "<div class=\"slip\">";
  const DecodedText* end = nullptr;
  for (const DecodedText& t : report.texts) {
    if (t.kind == TextKind::kEnd && end == nullptr) end = &t;
    if (t.kind != TextKind::kItem) continue;
    html += "<div class=\"slip-item\"><div class=\"slip-name\">" + Html(t.name) +
            "</div><div class=\"slip-line\"><span class=\"slip-quantity\">" + Html(t.quantity) +
            " x " + Html(t.unit_price) + "</span><span class=\"slip-value\">" +
            Html(t.line_value) + " " + Html(t.tax_letter) + "</span></div></div>";
  }
  if (end != nullptr) {
    html += "<div class=\"slip-total\"><span>TOTAL</span><span class=\"slip-sum\">" +
            Html(end->total) + "</span></div>";
    if (!end->footer.empty()) html += "<div class=\"slip-footer\">" + Html(end->footer) + "</div>";
  } else {
    html += "<div class=\"slip-open\">no end frame: the receipt is open</div>";
  }
  if (!report.problems.empty()) {
    html += "<ul class=\"slip-problems\">";
    for (const std::string& p : report.problems) html += "<li>" + Html(p) + "</li>";
    html += "</ul>";
  }
  return html + "</div>";
}

std::string_view SlipCss() {
  return R"css(.slip {
  width: 34ch; margin: 0.5em; padding: 1em 1.2em 1.4em;
  background: #fffef8; color: #222; font: 13px/1.45 ui-monospace, "DejaVu Sans Mono", monospace;
  box-shadow: 0 1px 3px rgba(0,0,0,.25);
  clip-path: polygon(0 0, 100% 0, 100% calc(100% - 6px), 95% 100%, 90% calc(100% - 6px), 85% 100%,
    80% calc(100% - 6px), 75% 100%, 70% calc(100% - 6px), 65% 100%, 60% calc(100% - 6px), 55% 100%,
    50% calc(100% - 6px), 45% 100%, 40% calc(100% - 6px), 35% 100%, 30% calc(100% - 6px), 25% 100%,
    20% calc(100% - 6px), 15% 100%, 10% calc(100% - 6px), 5% 100%, 0 calc(100% - 6px));
}
.slip-item { margin-bottom: 0.3em; }
.slip-name { overflow-wrap: anywhere; }
.slip-line, .slip-total { display: flex; justify-content: space-between; gap: 1ch; }
.slip-quantity { padding-left: 2ch; }
.slip-total { border-top: 1px dashed #777; margin-top: 0.6em; padding-top: 0.4em; font-weight: bold; font-size: 1.15em; }
.slip-footer { text-align: center; margin-top: 0.8em; overflow-wrap: anywhere; }
.slip-open, .slip-problems { color: #a40000; }
.slip-problems { padding-left: 1.2em; margin: 0.8em 0 0; }
)css";
}

std::string SlipPage(const ReceiptReport& report, std::string_view title) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + Html(title) +
         "</title><style>body { background: #e8e6e1; font-family: sans-serif; }\nh1 { font-size: "
         "1em; }\n" +
         std::string(SlipCss()) + "</style></head><body><h1>" + Html(title) + "</h1>" +
         SlipHtml(report) + "</body></html>\n";
}

}  // namespace fiskal
