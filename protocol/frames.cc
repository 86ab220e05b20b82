#include "protocol/frames.h"

#include <array>
#include <charconv>
#include <cmath>

#include "fiskal/version.h"

namespace fiskal {

// The printer is told the version the programs print: "ver.:" and
// FISKAL_VERSION from CMakeLists.txt. A version raised in one place only
// stops the build here.
static_assert(kVersionText.starts_with("ver.:") && kVersionText.substr(5) == kVersion,
              "kVersionText must be \"ver.:\" followed by FISKAL_VERSION (CMakeLists.txt)");

std::string VersionLine(std::string_view program) {
  std::string line(program);
  line += ' ';
  line += kVersionText;
  line += '\n';
  return line;
}

std::string SumaK(std::string_view cLinia) {
  unsigned value = 0xFF;
  for (char c : cLinia) value ^= static_cast<unsigned char>(c);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  if (value >= 0x10) text += kHex[value >> 4];
  text += kHex[value & 0xF];
  return text;
}

std::string VAT2PTU(std::string_view cVAT) {
  static constexpr std::array<std::string_view, 7> kCodes = {
      "1", "2", "3", "4", "5", "6", "7"};
  for (std::size_t i = 0; i < kCodes.size(); ++i) {
    if (cVAT == kCodes[i]) return std::string(1, static_cast<char>('A' + i));
  }
  return "X";
}

double Round2(float nVal) {
  double value = static_cast<double>(nVal);
  if (std::signbit(value)) return -Round2(-nVal);
  // Halves to even is the default rounding mode, which nearbyint follows.
  return std::nearbyint((value + 0.0001) * 100.0) / 100.0;
}

namespace {

// Text of a non-negative amount. Amounts the printer cannot hold print as
// "inf" or "nan", which no reader takes for an amount.
std::string FrmMagnitude(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return "inf";
  double rounded = std::round(value * 100.0) / 100.0;
  // Past a hundredth of the largest double the value is whole already.
  if (!std::isfinite(rounded)) rounded = value;
  const double whole = std::floor(rounded);
  const int hundredths = static_cast<int>(std::round((rounded - whole) * 100.0));
  // A double of any size prints exactly in fixed notation with no fraction.
  std::array<char, 400> digits{};
  auto result = std::to_chars(digits.data(), digits.data() + digits.size(),
                              whole, std::chars_format::fixed, 0);
  std::string text(digits.data(), result.ptr);
  text += '.';
  text += static_cast<char>('0' + hundredths / 10);
  text += static_cast<char>('0' + hundredths % 10);
  return text;
}

}  // namespace

std::string Frm(double nLicz) {
  if (std::isnan(nLicz) || !std::signbit(nLicz)) return FrmMagnitude(nLicz);
  std::string magnitude = FrmMagnitude(-nLicz);
  if (magnitude == "0.00") return magnitude;
  return "-" + magnitude;
}

double LineValue(float nCena, float nSzt) {
  // The product of two floats is exact in a double; narrowing it gives the
  // correctly rounded 32-bit product.
  return Round2(static_cast<float>(static_cast<double>(nCena) * nSzt));
}

std::string Frame(std::string_view body) {
  std::string frame;
  frame.reserve(body.size() + 6);
  frame += kFrameStart;
  frame += body;
  frame += SumaK(body);
  frame += kFrameEnd;
  return frame;
}

std::string PelkStart() { return Frame(kBeginBody); }

std::string ShortName(std::string_view cNazwa) {
  std::string_view name = cNazwa.substr(0, kMaxNameLength);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  return std::string(name);
}

std::string PelkLinia(std::uint8_t nLp, std::string& cNazwa, float nCena,
                      float nSzt, std::string_view cVAT) {
  cNazwa = ShortName(cNazwa);
  std::string body = std::to_string(nLp);
  body += kItemTag;
  body += cNazwa;
  body += kCr;
  body += Frm(nSzt);
  body += kCr;
  body += VAT2PTU(cVAT);
  body += kAmountSeparator;
  body += Frm(nCena);
  body += kAmountSeparator;
  body += Frm(LineValue(nCena, nSzt));
  body += kAmountSeparator;
  return Frame(body);
}

std::string PelkEnd(std::string_view cStopka, float nWart) {
  std::string body(kEndTag);
  body += kCr;
  body += cStopka;
  body += kCr;
  body += kEndFixed;
  body += Frm(nWart);
  body += kAmountSeparator;
  return Frame(body);
}

}  // namespace fiskal
