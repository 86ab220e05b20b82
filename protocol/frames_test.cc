#include "protocol/frames.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <limits>
#include <locale>
#include <string>
#include <string_view>

#include "testing/comma_locale.h"

namespace fiskal {
namespace {

using namespace std::string_literals;

// --- SumaK -----------------------------------------------------------------

TEST(SumaKTest, ChecksumTable) {
  struct Case {
    std::string body;
    std::string expected;
  };
  const Case cases[] = {
      {"", "FF"},                                   // nothing XORed in
      {"0;0$h", "88"},                              // body of the begin frame
      {"\xFA", "5"},                                // one digit, no leading 0
      {"\xFF", "0"},                                // value 0 is written "0"
      {"\xF0", "F"},                                // single digit upper case
      {"\x05", "FA"},                               // two digits upper case
      {"\x80", "7F"},                               // a high byte flips bit 7
      {"\0"s, "FF"},                                // NUL counts as a byte
      {"AA", "FF"},                                 // equal bytes cancel
      {"1;0$lBREAD\r1.00\rA/2.50/2.50/", "AC"},
      {"1;0;1$e\rTHANK YOU\r0.00/2.50/", "B2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.body));
    EXPECT_EQ(SumaK(c.body), c.expected);
  }
}

// --- VAT2PTU ---------------------------------------------------------------

TEST(VAT2PTUTest, LetterTable) {
  struct Case {
    std::string code;
    std::string expected;
  };
  const Case cases[] = {
      {"1", "A"}, {"2", "B"}, {"3", "C"}, {"4", "D"}, {"5", "E"},
      {"6", "F"}, {"7", "G"},
      // Compared byte for byte as a whole: no trimming, no numeric reading.
      {"", "X"}, {"0", "X"}, {"8", "X"}, {"9", "X"}, {"01", "X"},
      {" 1", "X"}, {"1 ", "X"}, {"1\t", "X"}, {"11", "X"}, {"1.0", "X"},
      {"A", "X"}, {"a", "X"}, {"1\0"s, "X"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.code));
    EXPECT_EQ(VAT2PTU(c.code), c.expected);
  }
}

// --- Round2 ----------------------------------------------------------------

TEST(Round2Test, ValueTable) {
  struct Case {
    float value;
    double expected;
  };
  const Case cases[] = {
      {0.0f, 0.0},
      {2.5f, 2.5},
      {1.0f, 1.0},
      // A half cent goes up: plain halves-to-even would give 2.12.
      {2.125f, 2.13},
      // Held just below 0.285; the 0.0001 lifts it to 0.29 (plain: 0.28).
      {0.285f, 0.29},
      {1.005f, 1.01},
      {0.00495f, 0.01},
      {0.0001f, 0.0},
      {0.284f, 0.28},
      // The result is a 64-bit value: 131072.015625 rounds to 131072.02,
      // which no 32-bit float can hold.
      {131072.01f, 131072.02},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(Round2(c.value), c.expected);
  }
}

TEST(Round2Test, NegativeIsMirrorOfPositive) {
  const float values[] = {2.125f, 0.285f, 1.005f, 0.00495f, 2.5f,
                          0.0001f, 7.777f, 131072.01f, 99999.99f};
  for (float v : values) {
    SCOPED_TRACE(v);
    EXPECT_EQ(Round2(-v), -Round2(v));
  }
  EXPECT_EQ(Round2(-2.125f), -2.13);
  EXPECT_EQ(Round2(-0.285f), -0.29);
  EXPECT_EQ(Round2(-0.0f), 0.0);
}

// --- Frm -------------------------------------------------------------------

TEST(FrmTest, AmountTable) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double value;
    std::string expected;
  };
  const Case cases[] = {
      {0.0, "0.00"},
      {2.5, "2.50"},
      {0.05, "0.05"},
      {1.0f, "1.00"},
      {0.1f, "0.10"},
      {99999.99f, "99999.99"},
      // Held as 131072.015625, which rounds up.
      {131072.01f, "131072.02"},
      // Just below a whole number: the carry reaches the whole part.
      {2.9999998f, "3.00"},
      {99.999, "100.00"},
      {1234567.0f, "1234567.00"},
      // Halves away from zero (exact binary halves of a cent).
      {0.125, "0.13"},
      {1.625, "1.63"},
      // No width limit and no exponent notation, however large.
      {1e20, "100000000000000000000.00"},
      {FLT_MAX, "340282346638528859811704183484516925440.00"},
      // Too large to take hundredths of: printed whole, never as "inf".
      {DBL_MAX,
       "17976931348623157081452742373170435679807056752584499659891747680315726078002853"
       "87605895586327668781715404589535143824642343213268894641827684675467035375169860"
       "49910576551282076245490090389328944075868508455133942304583236903222948165808559"
       "332123348274797826204144723168738177180919299881250404026184124858368.00"},
      // What no amount can be never prints as one.
      {kInf, "inf"},
      {-kInf, "-inf"},
      {kNan, "nan"},
      {-kNan, "nan"},
      // The 64-bit line value prints as such.
      {Round2(0.285f), "0.29"},
      {0.285f, "0.28"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(Frm(c.value), c.expected);
  }
}

TEST(FrmTest, NegativeIsSignAndMagnitude) {
  struct Case {
    double value;
    std::string expected;
  };
  const Case cases[] = {
      {-2.5, "-2.50"},
      {-0.01, "-0.01"},
      {-0.05, "-0.05"},
      {-1.625, "-1.63"},
      {-2.9999998f, "-3.00"},
      {-1234567.0, "-1234567.00"},
      // Whatever rounds to zero prints without a sign.
      {-0.001, "0.00"},
      {-0.004, "0.00"},
      {-0.0, "0.00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(Frm(c.value), c.expected);
  }
}

TEST(FrmTest, FullStopWhateverTheLocale) {
  testing::CommaLocale locale;
  if (!locale.active()) GTEST_SKIP() << "no locale with a decimal comma";
  EXPECT_EQ(Frm(2.5), "2.50");
  EXPECT_EQ(Frm(1234567.0f), "1234567.00");
}

// --- ShortName -------------------------------------------------------------

TEST(ShortNameTest, NameTable) {
  const std::string forty = "0123456789012345678901234567890123456789";
  ASSERT_EQ(forty.size(), 40u);
  const std::string thirty_seven(37, 'A');
  struct Case {
    std::string name;
    std::string expected;
  };
  const Case cases[] = {
      {"", ""},
      {"BREAD", "BREAD"},
      {"BREAD   ", "BREAD"},
      {"  BREAD", "  BREAD"},              // leading spaces stay
      {"  BREAD  ", "  BREAD"},
      {"   ", ""},
      {"BIG  BREAD", "BIG  BREAD"},        // inner spaces stay
      {"BREAD\t", "BREAD\t"},              // only 0x20 is trimmed
      {"BREAD \t", "BREAD \t"},
      {"BREAD\xA0", "BREAD\xA0"},
      {"A/B;C", "A/B;C"},
      {"A\0B"s, "A\0B"s},
      {forty, forty},                      // exactly 40 stays whole
      {forty + "X", forty},
      {forty + "XYZ  ", forty},
      // 45 characters, the 38th to 40th spaces: cut at 40, then trimmed.
      {thirty_seven + "   BCDEF", thirty_seven},
      // A space at 41 is cut, not trimmed from the 40.
      {forty + " ", forty},
      {std::string(39, 'B') + " X", std::string(39, 'B')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.name));
    EXPECT_EQ(ShortName(c.name), c.expected);
  }
}

// --- Frame and PelkStart ---------------------------------------------------

TEST(FrameTest, EnvelopeTable) {
  struct Case {
    std::string body;
    std::string expected;
  };
  const Case cases[] = {
      {"", "\x1bPFF\x1b\\"},
      {"0;0$h", "\x1bP0;0$h88\x1b\\"},
      {"\xFA", "\x1bP\xFA" "5\x1b\\"},
      {"\xFF", "\x1bP\xFF" "0\x1b\\"},
      {"A\r\n", "\x1bP" "A\r\nB9\x1b\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.body));
    EXPECT_EQ(Frame(c.body), c.expected);
  }
}

TEST(PelkStartTest, ElevenConstantBytes) {
  const std::string expected = {0x1B, 0x50, 0x30, 0x3B, 0x30, 0x24,
                                0x68, 0x38, 0x38, 0x1B, 0x5C};
  EXPECT_EQ(PelkStart(), expected);
}

// --- PelkLinia -------------------------------------------------------------

TEST(PelkLiniaTest, WorkedExampleBread) {
  std::string name = "BREAD";
  EXPECT_EQ(PelkLinia(1, name, 2.5f, 1.0f, "1"),
            "\x1bP1;0$lBREAD\r1.00\rA/2.50/2.50/AC\x1b\\");
  EXPECT_EQ(name, "BREAD");
}

TEST(PelkLiniaTest, PriceArgumentComesBeforeQuantity) {
  // Price 2.50, quantity 3: the body shows quantity first, then price.
  std::string name = "MILK";
  EXPECT_EQ(PelkLinia(7, name, 2.5f, 3.0f, "2"),
            "\x1bP7;0$lMILK\r3.00\rB/2.50/7.50/FD\x1b\\");
}

TEST(PelkLiniaTest, NameIsNotEscaped) {
  std::string name = "A/B;C";
  EXPECT_EQ(PelkLinia(1, name, 2.5f, 1.0f, "1"),
            "\x1bP1;0$lA/B;C\r1.00\rA/2.50/2.50/A8\x1b\\");
  EXPECT_EQ(name, "A/B;C");
}

TEST(PelkLiniaTest, LineNumberInDecimalAndNameRewritten) {
  // 0.57 times 0.5 is held just below 0.285; the line value is 0.29.
  std::string name = "  SOAP   ";
  EXPECT_EQ(PelkLinia(255, name, 0.57f, 0.5f, "7"),
            "\x1bP255;0$l  SOAP\r0.50\rG/0.57/0.29/F9\x1b\\");
  EXPECT_EQ(name, "  SOAP");
}

TEST(PelkLiniaTest, UnknownCodeGivesX) {
  std::string name = "EGGS";
  EXPECT_EQ(PelkLinia(3, name, 2.5f, 3.0f, ""),
            "\x1bP3;0$lEGGS\r3.00\rX/2.50/7.50/F6\x1b\\");
}

TEST(PelkLiniaTest, LongNamesShortenedInFrameAndCaller) {
  {
    std::string name = "0123456789012345678901234567890123456789XYZ";
    EXPECT_EQ(PelkLinia(1, name, 1.0f, 1.0f, "1"),
              "\x1bP1;0$l0123456789012345678901234567890123456789"
              "\r1.00\rA/1.00/1.00/FC\x1b\\");
    EXPECT_EQ(name, "0123456789012345678901234567890123456789");
  }
  {
    std::string name = std::string(37, 'A') + "   BCDEF";
    ASSERT_EQ(name.size(), 45u);
    EXPECT_EQ(PelkLinia(1, name, 1.0f, 1.0f, "1"),
              "\x1bP1;0$l" + std::string(37, 'A') +
                  "\r1.00\rA/1.00/1.00/BD\x1b\\");
    EXPECT_EQ(name, std::string(37, 'A'));
  }
}

// --- PelkEnd ---------------------------------------------------------------

TEST(PelkEndTest, WorkedExampleThankYou) {
  EXPECT_EQ(PelkEnd("THANK YOU", 2.5f),
            "\x1bP1;0;1$e\rTHANK YOU\r0.00/2.50/B2\x1b\\");
}

TEST(PelkEndTest, EmptyFooterAndZeroTotal) {
  EXPECT_EQ(PelkEnd("", 0.0f), "\x1bP1;0;1$e\r\r0.00/0.00/8E\x1b\\");
  EXPECT_EQ(PelkEnd("THANK YOU", 0.0f),
            "\x1bP1;0;1$e\rTHANK YOU\r0.00/0.00/B5\x1b\\");
}

TEST(PelkEndTest, FooterUntouchedAndTotalAsHeld) {
  EXPECT_EQ(PelkEnd(" A \"B\" ", 131072.01f),
            "\x1bP1;0;1$e\r A \"B\" \r0.00/131072.02/99\x1b\\");
}

}  // namespace
}  // namespace fiskal
