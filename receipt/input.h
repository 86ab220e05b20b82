// Reading the receipt input file: its lines and its header line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fiskal {

// Splits the file into lines. A line ends at CR LF or at a CR alone; the
// terminator is not part of the line. An LF not preceded by CR stays inside
// the line. A terminator at the very end does not start another line, so an
// empty file has no lines and "\r\n" has one empty line.
std::vector<std::string> SplitLines(std::string_view contents);

// The header line: character 1 is the port digit ("1".."9" select that
// port; anything else, or nothing, gives 0: log-only), character 2 is
// ignored, the rest is the footer text.
struct Header {
  std::uint8_t nPort = 0;
  std::string cStopka;
};
Header ParseHeader(std::string_view line);

}  // namespace fiskal
