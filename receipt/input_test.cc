#include "receipt/input.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fiskal {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

TEST(SplitLinesTest, Table) {
  struct Case {
    std::string contents;
    Lines expected;
  };
  const Case cases[] = {
      {"", {}},
      {"A", {"A"}},
      {"A\r\nB", {"A", "B"}},
      {"A\r\nB\r\n", {"A", "B"}},
      // A lone CR ends a line too.
      {"A\rB", {"A", "B"}},
      {"A\rB\r", {"A", "B"}},
      {"A\r\nB\rC\r\n", {"A", "B", "C"}},
      // Empty lines.
      {"\r\n", {""}},
      {"\r\n\r\n", {"", ""}},
      {"\r", {""}},
      {"\r\r", {"", ""}},
      {"A\r\n\r\nB", {"A", "", "B"}},
      {"A\r\n\r\n", {"A", ""}},
      {"A\r\r\nB", {"A", "", "B"}},
      // An LF not preceded by CR stays inside the line.
      {"\n", {"\n"}},
      {"A\nB\n", {"A\nB\n"}},
      {"A\n\rB", {"A\n", "B"}},
      {"A\r\n\nB", {"A", "\nB"}},
      {"1;THANK YOU\n1\tBREAD\t1\t100\t250\t\n",
       {"1;THANK YOU\n1\tBREAD\t1\t100\t250\t\n"}},
      // Bytes are passed through, NUL included.
      {"A\0B\r\n\x1b\xFF"s, {"A\0B"s, "\x1b\xFF"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.contents));
    EXPECT_EQ(SplitLines(c.contents), c.expected);
  }
}

TEST(ParseHeaderTest, Table) {
  struct Case {
    std::string line;
    int port;
    std::string footer;
  };
  const Case cases[] = {
      {"", 0, ""},
      {"5", 5, ""},
      {"1", 1, ""},
      {"9", 9, ""},
      {"0", 0, ""},
      {"x;THANK YOU", 0, "THANK YOU"},
      // The second character is dropped, whatever it is.
      {"1;THANK YOU", 1, "THANK YOU"},
      {"11THANK YOU", 1, "THANK YOU"},
      {"0;THANK YOU", 0, "THANK YOU"},
      // Only the first character gives the port.
      {"12", 1, ""},
      {"91;", 9, ";"},
      {"-1;THANK YOU", 0, ";THANK YOU"},
      {"+5;A", 0, ";A"},
      {" 5;A", 0, ";A"},
      {".5;A", 0, ";A"},
      {"\t5;A", 0, ";A"},
      {"\xB9;A", 0, "A"},
      {"1;", 1, ""},
      // The footer is taken unchanged: not trimmed, control bytes kept.
      {"1;  THANK  YOU  ", 1, "  THANK  YOU  "},
      {"1;A\tB\nC\"D\"", 1, "A\tB\nC\"D\""},
      {"2;\0X"s, 2, "\0X"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.line));
    const Header header = ParseHeader(c.line);
    EXPECT_EQ(header.nPort, c.port);
    EXPECT_EQ(header.cStopka, c.footer);
  }
}

}  // namespace
}  // namespace fiskal
