#include "receipt/analiza.h"

#include <cfloat>
#include <cmath>

#include "protocol/frames.h"
#include "receipt/number.h"

namespace fiskal {

Status ReadAmount(std::string_view field, std::string_view what, float* out) {
  const double hundredths = ReadNumber(field);
  // Two steps, each rounded as a 64-bit double: the field is divided by 100
  // into units, then the units are rounded to two decimals with halves to
  // even (multiply by 100, round, divide). Dividing and multiplying back is
  // not the identity for a field with a fraction of a hundredth: 54.5/100
  // is held as 0.545000000000000040, so 54.5 gives 0.55, where rounding
  // 54.5 itself would give 0.54; 12.5 gives 0.12 both ways. Quantities and
  // prices read this way match the amounts the printer has always got.
  const double value = std::nearbyint(hundredths / 100.0 * 100.0) / 100.0;
  std::string shown(field.substr(0, 32));
  if (field.size() > 32) shown += "...";
  if (!(std::fabs(value) <= FLT_MAX)) {
    return Status::Error(std::string(what) + " \"" + shown +
                         "\" is beyond the range of amounts");
  }
  if (value < 0) {
    return Status::Error(std::string(what) + " \"" + shown +
                         "\" is negative; a sale line cannot be negative");
  }
  *out = value == 0 ? 0.0f : static_cast<float>(value);
  return Status::Ok();
}

Status Analiza(std::string_view cLinia, std::string& cNazwa, std::string& cVAT,
               float& nSzt, float& nCena) {
  int field = kFieldUnused;
  std::size_t start = 0;
  for (std::size_t i = 0; i < cLinia.size(); ++i) {
    if (cLinia[i] != kTab) continue;
    const std::string_view text = cLinia.substr(start, i - start);
    switch (field) {
      case kFieldName:
        if (text.find(kEsc) != std::string_view::npos) {
          return Status::Error(
              "item name holds an ESC byte (27), which would end the printer "
              "frame early");
        }
        cNazwa = std::string(text);
        break;
      case kFieldTaxCode:
        cVAT = std::string(text);
        break;
      case kFieldQuantity:
        if (Status s = ReadAmount(text, "quantity", &nSzt); !s.ok()) return s;
        break;
      case kFieldPrice:
        if (Status s = ReadAmount(text, "unit price", &nCena); !s.ok()) return s;
        break;
      default:
        break;
    }
    start = i + 1;
    ++field;
  }
  if (field <= kFieldName) {
    return Status::Error(
        "item line has " + std::to_string(field) +
        (field == 1 ? " TAB" : " TABs") +
        " and sets no item value; fields must be separated by TAB characters "
        "(at least two TABs: number, name, ...)");
  }
  return Status::Ok();
}

}  // namespace fiskal
