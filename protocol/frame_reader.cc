#include "protocol/frame_reader.h"

#include <charconv>
#include <cmath>
#include <tuple>

#include "protocol/frames.h"

namespace fiskal {

namespace {

constexpr std::string_view kFrameStart = "\x1bP";
constexpr std::string_view kFrameEnd = "\x1b\\";
constexpr std::string_view kBeginBody = "0;0$h";
constexpr std::string_view kItemTag = ";0$l";
constexpr std::string_view kEndTag = "1;0;1$e\r";
constexpr std::string_view kEndFixed = "0.00/";

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

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

std::vector<RawText> TextSplitter::Feed(std::string_view bytes) {
  held_.append(bytes);
  return Split(false);
}

std::vector<RawText> TextSplitter::Finish() { return Split(true); }

std::vector<RawText> TextSplitter::Split(bool at_end) {
  std::vector<RawText> texts;
  std::size_t i = 0;
  std::size_t stray_start = std::string::npos;
  auto flush_stray = [&](std::size_t end) {
    if (stray_start == std::string::npos) return;
    texts.push_back({held_.substr(stray_start, end - stray_start),
                     held_offset_ + stray_start});
    stray_start = std::string::npos;
  };
  auto emit = [&](std::size_t start, std::size_t end) {
    flush_stray(start);
    texts.push_back({held_.substr(start, end - start), held_offset_ + start});
  };

  const std::size_t size = held_.size();
  while (i < size) {
    const std::string_view rest = std::string_view(held_).substr(i);
    if (rest.substr(0, 2) == kFrameStart) {
      // A frame runs to ESC '\'; a new ESC 'P' first means it was cut short.
      std::size_t j = i + 2;
      bool closed = false;
      bool cut = false;
      for (; j + 1 < size; ++j) {
        if (held_[j] != kEsc) continue;
        if (held_[j + 1] == '\\') {
          closed = true;
          break;
        }
        if (held_[j + 1] == 'P') {
          cut = true;
          break;
        }
      }
      if (closed) {
        emit(i, j + 2);
        i = j + 2;
      } else if (cut) {
        emit(i, j);
        i = j;
      } else if (at_end) {
        emit(i, size);
        i = size;
      } else {
        break;  // wait for the rest of the frame
      }
      continue;
    }
    if (!rest.empty() && rest[0] == kEsc && rest.size() == 1 && !at_end) break;
    if (!rest.empty() && rest[0] == 'v') {
      const std::size_t n = std::min(rest.size(), kVersionText.size());
      if (rest.substr(0, n) == kVersionText.substr(0, n)) {
        if (n == kVersionText.size()) {
          emit(i, i + n);
          i += n;
          continue;
        }
        if (!at_end) break;  // may still become the version text
      }
    }
    if (stray_start == std::string::npos) stray_start = i;
    ++i;
  }
  // Stray bytes are held until something that is not stray follows them,
  // so a run of them is one text however it arrived; a long run goes out
  // in pieces.
  constexpr std::size_t kMaxHeldStray = 4096;
  if (stray_start != std::string::npos && !at_end && i - stray_start < kMaxHeldStray) {
    i = stray_start;
  } else {
    flush_stray(i);
  }
  held_offset_ += i;
  held_.erase(0, i);
  return texts;
}

bool IsTranscript(std::string_view file) { return file.empty() || file[0] == '"'; }

std::vector<RawText> SplitTranscript(std::string_view file,
                                     std::vector<std::string>* problems) {
  std::vector<RawText> texts;
  std::size_t pos = 0;
  while (pos < file.size()) {
    if (file[pos] == '"') {
      const std::size_t end = file.find("\"\r\n", pos + 1);
      if (end != std::string_view::npos) {
        texts.push_back({std::string(file.substr(pos + 1, end - pos - 1)), pos + 1});
        pos = end + 3;
        continue;
      }
      problems->push_back("offset " + std::to_string(pos) +
                          ": record without its closing double quote and CR LF");
      std::string_view text = file.substr(pos + 1);
      if (text.size() >= 2 && text.substr(text.size() - 2) == "\"\r") {
        text.remove_suffix(2);
      } else if (!text.empty() && text.back() == '"') {
        text.remove_suffix(1);
      }
      texts.push_back({std::string(text), pos + 1});
      return texts;
    }
    // Bytes between records: up to the next double quote at a line start.
    std::size_t next = pos;
    for (;;) {
      next = file.find('"', next + 1);
      if (next == std::string_view::npos || file[next - 1] == '\n') break;
    }
    if (next == std::string_view::npos) next = file.size();
    texts.push_back({std::string(file.substr(pos, next - pos)), pos});
    pos = next;
  }
  return texts;
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
  const std::vector<std::string_view> amounts = Split(parts[2], '/');
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
      Split(std::string_view(t->body).substr(kEndTag.size()), kCr);
  if (parts.size() != 2 || parts[1].substr(0, kEndFixed.size()) != kEndFixed ||
      parts[1].size() < kEndFixed.size() + 1 || parts[1].back() != '/') {
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
  if (bytes.substr(0, 2) != kFrameStart) {
    t.kind = TextKind::kStray;
    return t;
  }
  if (bytes.size() < 4 || bytes.substr(bytes.size() - 2) != kFrameEnd) {
    t.kind = TextKind::kTruncated;
    t.problems.push_back("frame without its closing ESC \\ (truncated)");
    return t;
  }

  // Body and checksum. Every body ends in '/' or 'h', so the checksum is
  // the one or two hex digits after that; failing that, the one or two hex
  // digits at the end that match the body; failing that, those that are
  // there.
  const std::string_view inner = bytes.substr(2, bytes.size() - 4);
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
    return last == '/' || last == 'h';
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
  } else if (std::string_view(t.body).substr(0, kEndTag.size()) == kEndTag) {
    t.kind = TextKind::kEnd;
    DecodeEnd(&t);
  } else {
    t.kind = TextKind::kOtherFrame;
  }
  return t;
}

namespace {

std::string Label(std::size_t index, const DecodedText& t) {
  std::string label = "text " + std::to_string(index + 1) + " (";
  if (t.kind == TextKind::kItem && t.number) {
    label += "item " + std::to_string(*t.number);
  } else {
    label += KindName(t.kind);
  }
  return label + ")";
}

// The 32-bit float of a printed amount, as the sender held it.
float AsFloat(double value) {
  if (!(std::fabs(value) <= 3.4028234663852886e38)) return std::nanf("");
  return static_cast<float>(value);
}

}  // namespace

ReceiptReport CheckReceipt(const std::vector<RawText>& texts) {
  ReceiptReport report;
  bool version = false, begun = false, ended = false;
  int expected_number = 1;
  float total = 0;
  bool total_known = true;

  for (std::size_t i = 0; i < texts.size(); ++i) {
    report.texts.push_back(DecodeText(texts[i]));
    const DecodedText& t = report.texts.back();
    const std::string label = Label(i, t);
    auto problem = [&](const std::string& what) {
      std::string line = label;
      line += ": ";
      line += what;
      report.problems.push_back(std::move(line));
    };
    for (const std::string& p : t.problems) problem(p);
    if (ended) {
      problem("text after the end frame");
      continue;
    }
    switch (t.kind) {
      case TextKind::kVersion:
        if (version || begun) problem("version text again, inside a receipt");
        version = true;
        break;
      case TextKind::kBegin:
        if (begun) problem("second begin frame");
        if (!version) problem("begin frame without the version text before it");
        begun = true;
        break;
      case TextKind::kItem: {
        if (!begun) problem("item frame before the begin frame");
        if (t.number != expected_number) {
          problem("item number " + std::to_string(t.number.value_or(0)) +
                  " where " + std::to_string(expected_number) + " was due");
        }
        expected_number = t.number.value_or(expected_number) + 1;
        const auto quantity = ParseAmount(t.quantity);
        const auto price = ParseAmount(t.unit_price);
        const auto value = ParseAmount(t.line_value);
        if (!quantity || !price || !value) {
          total_known = false;
          break;
        }
        bool fits = true;
        for (const auto& [name, amount, text] :
             {std::tuple{"quantity", *quantity, &t.quantity},
              std::tuple{"unit price", *price, &t.unit_price},
              std::tuple{"line value", *value, &t.line_value}}) {
          if (std::isnan(AsFloat(amount))) {
            problem(std::string(name) + " " + *text + " is beyond any 32-bit amount");
            fits = false;
          }
        }
        if (!fits) {
          total_known = false;
          break;
        }
        const std::string due = Frm(LineValue(AsFloat(*price), AsFloat(*quantity)));
        if (due != t.line_value) {
          problem("line value " + t.line_value + " is not quantity times unit price (" +
                  t.quantity + " x " + t.unit_price + " gives " + due + ")");
        }
        total = static_cast<float>(static_cast<double>(total) + *value);
        if (total_known && std::isinf(total)) {
          problem("the line values add up beyond any 32-bit amount");
          total_known = false;
        }
        break;
      }
      case TextKind::kEnd: {
        if (!begun) problem("end frame without a begin frame");
        ended = true;
        const auto printed = ParseAmount(t.total);
        if (printed && total_known) {
          const float got = AsFloat(*printed);
          // The sender adds up in a 32-bit float: allow one step of it.
          const bool near = got == total || std::nextafter(total, INFINITY) == got ||
                            std::nextafter(total, -INFINITY) == got;
          if (Frm(total) != t.total && !near) {
            problem("total " + t.total + " is not the sum of the line values (" +
                    Frm(total) + ")");
          }
        }
        break;
      }
      case TextKind::kOtherFrame:
        problem("frame is not a begin, item or end frame");
        break;
      case TextKind::kTruncated:
        break;  // already said
      case TextKind::kStray:
        problem(std::to_string(t.raw.bytes.size()) + " bytes outside any frame");
        break;
    }
  }
  if (!ended) {
    report.problems.push_back(begun ? "no end frame: the receipt was left open"
                                    : "no receipt: no begin frame");
  }
  report.whole = version && begun && ended;
  return report;
}

}  // namespace fiskal
