#include "protocol/frame_decoder.h"

#include <charconv>
#include <utility>

#include "protocol/frames.h"

namespace fiskal {

namespace {

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// An end body opens with its tag and a CR.
bool OpensEndBody(std::string_view body) {
  return body.substr(0, kEndTag.size()) == kEndTag && body.size() > kEndTag.size() &&
         body[kEndTag.size()] == kCr;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

}  // namespace

std::string_view KindName(TextKind kind) {
  switch (kind) {
    case TextKind::kVersion: return "version text";
    case TextKind::kBegin: return "begin frame";
    case TextKind::kItem: return "item frame";
    case TextKind::kEnd: return "end frame";
    case TextKind::kOtherFrame: return "unknown frame";
    case TextKind::kTruncated: return "truncated frame";
    case TextKind::kStray: return "stray bytes";
  }
  return "text";
}

std::optional<double> ParseAmount(std::string_view text) {
  std::size_t i = text.substr(0, 1) == "-" ? 1 : 0;
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot == i || text.size() != dot + 3) {
    return std::nullopt;
  }
  for (std::size_t k = i; k < text.size(); ++k) {
    if (k != dot && !IsDigit(text[k])) return std::nullopt;
  }
  double value = 0;
  auto result = std::from_chars(text.data() + i, text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
    return std::nullopt;
  }
  return i == 1 ? -value : value;
}

namespace {

void DecodeItem(DecodedText* t) {
  const std::string_view body = t->body;
  const std::size_t tag = body.find(kItemTag);
  const std::string_view number = body.substr(0, tag);
  int n = 0;
  std::from_chars(number.data(), number.data() + number.size(), n);
  t->number = n;
  const std::vector<std::string_view> parts = Split(body.substr(tag + kItemTag.size()), kCr);
  if (parts.size() != 3) {
    t->problems.push_back("item frame does not have name, quantity and "
                          "amounts separated by two CRs");
    return;
  }
  t->name = parts[0];
  t->quantity = parts[1];
  const std::vector<std::string_view> amounts = Split(parts[2], kAmountSeparator);
  if (amounts.size() != 4 || !amounts[3].empty() || amounts[0].size() != 1) {
    t->problems.push_back("item frame amounts are not tax letter/unit price/line value/");
    return;
  }
  t->tax_letter = std::string(1, amounts[0][0]);
  t->unit_price = amounts[1];
  t->line_value = amounts[2];
  for (const auto& [what, text] : {std::pair{"quantity", t->quantity},
                                   {"unit price", t->unit_price},
                                   {"line value", t->line_value}}) {
    if (!ParseAmount(text)) {
      t->problems.push_back(std::string(what) + " \"" + text + "\" is not an amount");
    }
  }
}

void DecodeEnd(DecodedText* t) {
  const std::vector<std::string_view> parts =
      Split(std::string_view(t->body).substr(kEndTag.size() + 1), kCr);
  if (parts.size() != 2 || parts[1].substr(0, kEndFixed.size()) != kEndFixed ||
      parts[1].size() < kEndFixed.size() + 1 || parts[1].back() != kAmountSeparator) {
    t->problems.push_back("end frame is not footer CR 0.00/total/");
    return;
  }
  t->footer = parts[0];
  t->total = parts[1].substr(kEndFixed.size(),
                             parts[1].size() - kEndFixed.size() - 1);
  if (!ParseAmount(t->total)) {
    t->problems.push_back("total \"" + t->total + "\" is not an amount");
  }
}

bool IsItemBody(std::string_view body) {
  const std::size_t tag = body.find(kItemTag);
  if (tag == std::string_view::npos || tag == 0 || tag > 3) return false;
  for (std::size_t i = 0; i < tag; ++i) {
    if (!IsDigit(body[i])) return false;
  }
  return true;
}

}  // namespace

DecodedText DecodeText(const RawText& raw) {
  DecodedText t;
  t.raw = raw;
  const std::string_view bytes = raw.bytes;
  if (bytes == kVersionText) {
    t.kind = TextKind::kVersion;
    return t;
  }
  if (bytes.substr(0, kFrameStart.size()) != kFrameStart) {
    t.kind = TextKind::kStray;
    return t;
  }
  if (bytes.size() < kFrameStart.size() + kFrameEnd.size() ||
      bytes.substr(bytes.size() - kFrameEnd.size()) != kFrameEnd) {
    t.kind = TextKind::kTruncated;
    t.problems.push_back("frame without its closing ESC \\ (truncated)");
    return t;
  }

  // Body and checksum. Every body ends in '/' or 'h', so the checksum is
  // the one or two hex digits after that; failing that, the one or two hex
  // digits at the end that match the body; failing that, those that are
  // there.
  const std::string_view inner =
      bytes.substr(kFrameStart.size(), bytes.size() - kFrameStart.size() - kFrameEnd.size());
  auto hex_tail = [&](std::size_t digits) {
    if (inner.size() < digits) return false;
    for (std::size_t k = inner.size() - digits; k < inner.size(); ++k) {
      if (!IsHexDigit(inner[k])) return false;
    }
    return true;
  };
  auto ends_body = [&](std::size_t digits) {
    if (inner.size() < digits + 1 || !hex_tail(digits)) return false;
    const char last = inner[inner.size() - digits - 1];
    return last == kAmountSeparator || last == kBeginBody.back();
  };
  auto matches = [&](std::size_t digits) {
    return hex_tail(digits) && SumaK(inner.substr(0, inner.size() - digits)) ==
                                   inner.substr(inner.size() - digits);
  };
  std::size_t digits = 0;
  if (ends_body(2) != ends_body(1)) {
    digits = ends_body(2) ? 2 : 1;
  } else if (matches(2) || matches(1)) {
    digits = matches(2) ? 2 : 1;
  } else {
    digits = hex_tail(2) ? 2 : (hex_tail(1) ? 1 : 0);
  }
  t.body = inner.substr(0, inner.size() - digits);
  t.checksum = inner.substr(inner.size() - digits);
  t.expected_checksum = SumaK(t.body);
  if (!t.checksum_ok()) {
    t.problems.push_back(
        (t.checksum.empty() ? std::string("checksum missing")
                            : "checksum " + t.checksum + " does not match the body") +
        " (the body gives " + t.expected_checksum + ")");
  }
  if (t.body.find(kEsc) != std::string::npos) {
    t.problems.push_back("ESC byte inside the frame body");
  }

  if (t.body == kBeginBody) {
    t.kind = TextKind::kBegin;
  } else if (IsItemBody(t.body)) {
    t.kind = TextKind::kItem;
    DecodeItem(&t);
  } else if (OpensEndBody(t.body)) {
    t.kind = TextKind::kEnd;
    DecodeEnd(&t);
  } else {
    t.kind = TextKind::kOtherFrame;
  }
  return t;
}

}  // namespace fiskal
