// Printer command frames: pure functions from values to the exact bytes the
// fiscal printer receives. Nothing here touches a file, a port or a clock.
//
// Every frame is ESC 'P' <body> <checksum> ESC '\'. Amounts are 32-bit floats
// (quantity, unit price, receipt total); a line value is a 64-bit float.
// The frames, their checksum (SumaK), the tax letter, the rounding of line
// values, the text of amounts and the version text are made here only
// (frames.cc); the reader of texts (frame_decoder, text_splitter) uses the
// same tags.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fiskal {

inline constexpr char kEsc = '\x1b';
inline constexpr char kCr = '\r';
inline constexpr char kLf = '\n';
inline constexpr char kTab = '\t';

// The wire format, written once for the builders and the reader.
inline constexpr std::string_view kFrameStart = "\x1bP";  // ESC 'P'
inline constexpr std::string_view kFrameEnd = "\x1b\\";  // ESC '\'
inline constexpr std::string_view kBeginBody = "0;0$h";    // the whole begin body
inline constexpr std::string_view kItemTag = ";0$l";       // after the item number
inline constexpr std::string_view kEndTag = "1;0;1$e";     // opens the end body
inline constexpr std::string_view kEndFixed = "0.00/";     // before the total
inline constexpr char kAmountSeparator = '/';

// The text sent before the first frame of every receipt: "ver.:" and the
// version (FISKAL_VERSION in CMakeLists.txt; frames.cc checks they agree).
// The one place the two are put together: the programs' --version prints
// it too (VersionLine).
inline constexpr std::string_view kVersionText = "ver.:0.6a";

// What `<program> --version` prints: "fiskal ver.:0.6a" and a line end.
std::string VersionLine(std::string_view program);

// A name is cut to this many bytes in an item frame.
inline constexpr std::size_t kMaxNameLength = 40;

// Checksum of a frame body: 0xFF XORed with every byte, written in upper-case
// hexadecimal without leading zeros (one or two digits).
std::string SumaK(std::string_view cLinia);

// Tax letter of a tax-rate code: "1".."7" give "A".."G", anything else "X".
// The code is compared byte for byte, untrimmed.
std::string VAT2PTU(std::string_view cVAT);

// Line value: the amount widened to 64 bits, plus 0.0001, rounded to
// hundredths with halves to even. Symmetric: Round2(-x) == -Round2(x).
double Round2(float nVal);

// Amount text: rounded to hundredths (halves away from zero), whole part in
// plain decimal digits, ".", two digits of hundredths. A negative amount is
// "-" and the text of its magnitude; nothing prints as "-0.00". A value
// that is not finite prints as "nan", "inf" or "-inf", never as an amount.
std::string Frm(double nLicz);

// The line value of an item: Round2 of price times quantity, the product
// rounded to a 32-bit float first. The item frame and the receipt total both
// use this, so they agree.
double LineValue(float nCena, float nSzt);

// Wraps a body in the frame envelope with its checksum.
std::string Frame(std::string_view body);

// The begin frame, always the same eleven bytes.
std::string PelkStart();

// The name as an item frame prints it: its first 40 bytes without trailing
// spaces (0x20 only).
std::string ShortName(std::string_view cNazwa);

// The item frame. Replaces cNazwa with the shortened name it printed. Note
// the argument order: price before quantity (the frame has them the other
// way round).
std::string PelkLinia(std::uint8_t nLp, std::string& cNazwa, float nCena,
                      float nSzt, std::string_view cVAT);

// The end frame with the footer, unchanged, and the receipt total.
std::string PelkEnd(std::string_view cStopka, float nWart);

}  // namespace fiskal
