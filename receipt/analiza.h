// The item-line parser, the one place an item line of fiskal.txt is split
// at its TABs into the item values (the numbers are read by number.h).
#pragma once

#include <string>
#include <string_view>

#include "base/status.h"

namespace fiskal {

// Fields of an item line, separated by TAB and numbered from 0.
enum ItemField : int {
  kFieldUnused = 0,
  kFieldName = 1,      // cNazwa, unchanged
  kFieldTaxCode = 2,   // cVAT, unchanged
  kFieldQuantity = 3,  // nSzt, in hundredths
  kFieldPrice = 4,     // nCena, in hundredths
  kFieldUnit = 5,      // unit of measure, not used
};

// Reads one item line into the item values. A field is taken only when the
// TAB that closes it is reached; the text after the last TAB is dropped.
// Values whose fields the line does not carry keep what they held, so they
// carry over from earlier lines.
//
// Fails, naming the reason, when the line sets no item value at all (fewer
// than two TABs: usually spaces written for TABs), or when a value it carries
// cannot go into a frame: an amount that is negative or does not fit a
// finite 32-bit float, or a name holding an ESC byte. On failure the item
// values may be partly overwritten.
Status Analiza(std::string_view cLinia, std::string& cNazwa, std::string& cVAT,
               float& nSzt, float& nCena);

// An amount field: the number read from it, divided by 100, rounded to
// hundredths with halves to even, as a 32-bit float. "-0" gives 0.
// Fails for a negative amount or one beyond the 32-bit float range.
Status ReadAmount(std::string_view field, std::string_view what, float* out);

}  // namespace fiskal
