#include "receipt/input.h"

#include "receipt/number.h"

namespace fiskal {

std::vector<std::string> SplitLines(std::string_view contents) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < contents.size(); ++i) {
    if (contents[i] != '\r') continue;
    lines.emplace_back(contents.substr(start, i - start));
    if (i + 1 < contents.size() && contents[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < contents.size()) lines.emplace_back(contents.substr(start));
  return lines;
}

Header ParseHeader(std::string_view line) {
  Header header;
  // The number reading rule on the first character alone gives 0 to 9.
  const double port = ReadNumber(line.substr(0, 1));
  header.nPort = static_cast<std::uint8_t>(port > 0 ? port : 0);
  if (line.size() > 2) header.cStopka = std::string(line.substr(2));
  return header;
}

}  // namespace fiskal
