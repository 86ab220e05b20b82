#include "protocol/receipt_check.h"

#include <cmath>
#include <tuple>

#include "protocol/frames.h"

namespace fiskal {

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
