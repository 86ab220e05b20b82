// The number reading rule of the receipt input: the leading number of a text,
// read the same way whatever the locale.
#pragma once

#include <string_view>

namespace fiskal {

// Spaces, TABs and LFs anywhere in the text are skipped ("1 000" is 1000).
// Then: an optional sign, digits with at most one full stop as the decimal
// point, an optional exponent (E or e, optional sign, digits). Reading stops
// at the first byte that cannot continue the number; a text without a
// leading number reads as 0. A number too large for a double reads as an
// infinity of its sign, one too small as zero.
double ReadNumber(std::string_view text);

}  // namespace fiskal
