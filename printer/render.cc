#include "printer/render.h"

#include <algorithm>
#include <cstdio>

#include "protocol/frames.h"

namespace fiskal {

namespace {

std::string Hex2(unsigned char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return {kHex[c >> 4], kHex[c & 0xF]};
}

std::string Pad(std::string text, std::size_t width, bool right) {
  if (text.size() >= width) return text;
  const std::string fill(width - text.size(), ' ');
  return right ? fill + text : text + fill;
}

const DecodedText* Find(const ReceiptReport& report, TextKind kind) {
  for (const DecodedText& t : report.texts) {
    if (t.kind == kind) return &t;
  }
  return nullptr;
}

std::string Verdict(const ReceiptReport& report) {
  if (report.ok()) return "receipt whole and consistent";
  const std::size_t n = report.problems.size();
  std::string verdict = report.whole ? "receipt begun and ended, but with "
                                     : "receipt NOT whole (version, begin or end missing), ";
  verdict += std::to_string(n) + (n == 1 ? " problem:" : " problems:");
  return verdict;
}

}  // namespace

std::string Visible(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == kEsc) {
      out += "\\e";
    } else if (c == kCr) {
      out += "\\r";
    } else if (c == kLf) {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x" + Hex2(c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string DescribeText(const DecodedText& t) {
  switch (t.kind) {
    case TextKind::kVersion:
      return "version text  " + t.raw.bytes;
    case TextKind::kBegin:
      return "begin frame   receipt opened";
    case TextKind::kItem:
      return "item " + Pad(std::to_string(t.number.value_or(0)), 3, false) +
             "      " + Visible(t.name) + "  " + t.quantity + " x " +
             t.unit_price + " = " + t.line_value + "  " + t.tax_letter;
    case TextKind::kEnd:
      return "end frame     total " + t.total + "  footer \"" + Visible(t.footer) + "\"";
    case TextKind::kOtherFrame:
      return "unknown frame " + Visible(t.raw.bytes);
    case TextKind::kTruncated:
      return "truncated     " + Visible(t.raw.bytes);
    case TextKind::kStray:
      return "stray bytes   " + Visible(t.raw.bytes);
  }
  return {};
}

std::string RenderReceipt(const ReceiptReport& report, std::string_view source) {
  std::string out;
  out += std::string(source) + ", " + std::to_string(report.texts.size()) +
         (report.texts.size() == 1 ? " text\n\n" : " texts\n\n");

  const DecodedText* version = Find(report, TextKind::kVersion);
  out += "version  " + (version ? version->raw.bytes : std::string("(none)")) + "\n";
  out += std::string("begin    ") +
         (Find(report, TextKind::kBegin) ? "receipt opened" : "(none)") + "\n";

  std::vector<const DecodedText*> items;
  for (const DecodedText& t : report.texts) {
    if (t.kind == TextKind::kItem) items.push_back(&t);
  }
  if (!items.empty()) {
    std::size_t name_width = 4, qty_width = 8, price_width = 10, value_width = 10;
    for (const DecodedText* t : items) {
      name_width = std::max(name_width, Visible(t->name).size());
      qty_width = std::max(qty_width, t->quantity.size());
      price_width = std::max(price_width, t->unit_price.size());
      value_width = std::max(value_width, t->line_value.size());
    }
    out += '\n';
    out += Pad("#", 5, true) + "  " + Pad("name", name_width, false) + "  " +
           Pad("quantity", qty_width, true) + "  tax  " +
           Pad("unit price", price_width, true) + "  " +
           Pad("line value", value_width, true) + "\n";
    for (const DecodedText* t : items) {
      out += Pad(std::to_string(t->number.value_or(0)), 5, true) + "  " +
             Pad(Visible(t->name), name_width, false) + "  " +
             Pad(t->quantity, qty_width, true) + "  " +
             Pad(t->tax_letter, 3, false) + "  " +
             Pad(t->unit_price, price_width, true) + "  " +
             Pad(t->line_value, value_width, true) + "\n";
    }
    out += "\n";
  }

  if (const DecodedText* end = Find(report, TextKind::kEnd)) {
    std::string footer;
    std::size_t start = 0;
    for (;;) {
      const std::size_t lf = end->footer.find(kLf, start);
      footer += Visible(std::string_view(end->footer).substr(
          start, lf == std::string::npos ? std::string::npos : lf - start));
      if (lf == std::string::npos) break;
      footer += "\n         ";
      start = lf + 1;
    }
    out += "footer   " + footer + "\n";
    out += "total    " + end->total + "\n";
  } else {
    out += "end      (none)\n";
  }

  out += '\n';
  out += Verdict(report);
  out += '\n';
  for (const std::string& p : report.problems) out += "  " + p + "\n";
  return out;
}

namespace {

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\u00" + Hex2(c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonAmount(const std::string& text) {
  return ParseAmount(text) ? text : JsonString(text);
}

std::string JsonSeconds(double seconds) {
  char text[40];
  std::snprintf(text, sizeof text, "%.6f", seconds);
  return text;
}

std::string JsonBool(bool value) { return value ? "true" : "false"; }

std::string Json(const ReceiptReport& report, std::string_view file,
                 std::string_view format, const LineTiming* timing) {
  std::string out = "{";
  out += "\"file\":" + JsonString(file);
  out += ",\"format\":" + JsonString(format);
  const DecodedText* version = Find(report, TextKind::kVersion);
  out += ",\"version\":" + (version ? JsonString(version->raw.bytes) : "null");
  out += std::string(",\"begun\":") + (Find(report, TextKind::kBegin) ? "true" : "false");
  out += ",\"items\":[";
  bool first = true;
  for (const DecodedText& t : report.texts) {
    if (t.kind != TextKind::kItem) continue;
    if (!first) out += ",";
    first = false;
    out += "{\"number\":" + std::to_string(t.number.value_or(0)) +
           ",\"name\":" + JsonString(t.name) +
           ",\"quantity\":" + JsonAmount(t.quantity) +
           ",\"tax_letter\":" + JsonString(t.tax_letter) +
           ",\"unit_price\":" + JsonAmount(t.unit_price) +
           ",\"line_value\":" + JsonAmount(t.line_value) + "}";
  }
  out += "]";
  const DecodedText* end = Find(report, TextKind::kEnd);
  out += ",\"footer\":" + (end ? JsonString(end->footer) : "null");
  out += ",\"total\":" + (end ? JsonAmount(end->total) : "null");
  out += ",\"texts\":[";
  for (std::size_t i = 0; i < report.texts.size(); ++i) {
    const DecodedText& t = report.texts[i];
    if (i) out += ",";
    out += "{\"kind\":" + JsonString(KindName(t.kind)) +
           ",\"offset\":" + std::to_string(t.raw.offset) +
           ",\"bytes\":" + JsonString(t.raw.bytes);
    if (timing != nullptr && i < timing->texts.size()) {
      out += ",\"first\":" + JsonSeconds(timing->texts[i].first) +
             ",\"last\":" + JsonSeconds(timing->texts[i].last);
    }
    out += "}";
  }
  out += "]";
  if (timing != nullptr) {
    bool paced = true;
    out += ",\"pauses\":[";
    for (std::size_t i = 0; i < timing->pauses.size(); ++i) {
      const Pause& p = timing->pauses[i];
      if (i) out += ",";
      out += "{\"after\":" + std::to_string(p.after) +
             ",\"seconds\":" + JsonSeconds(p.seconds) +
             ",\"longest\":" + JsonSeconds(p.longest) +
             ",\"too_soon\":" + JsonBool(p.too_soon) + "}";
      paced = paced && !p.too_soon;
    }
    out += "],\"paced\":" + JsonBool(paced);
  }
  out += std::string(",\"whole\":") + (report.whole ? "true" : "false");
  out += std::string(",\"ok\":") + (report.ok() ? "true" : "false");
  out += ",\"problems\":[";
  for (std::size_t i = 0; i < report.problems.size(); ++i) {
    if (i) out += ",";
    out += JsonString(report.problems[i]);
  }
  out += "]}\n";
  return out;
}

}  // namespace

std::string RenderJson(const ReceiptReport& report, std::string_view file,
                       std::string_view format) {
  return Json(report, file, format, nullptr);
}

std::string RenderJson(const ReceiptReport& report, std::string_view file,
                       std::string_view format, const LineTiming& timing) {
  return Json(report, file, format, &timing);
}

}  // namespace fiskal
