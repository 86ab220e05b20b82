// Whatever receipt fiskal builds, the reader decodes without a problem.

#include <gtest/gtest.h>

#include <string>

#include "protocol/transcript_record.h"
#include "printer/decode.h"
#include "receipt/receipt.h"

namespace fiskal {
namespace {

std::string TranscriptOf(const std::string& input) {
  Receipt receipt;
  const Status s = PrepareReceipt(input, "fiskal.txt", &receipt);
  EXPECT_TRUE(s.ok()) << s.message();
  std::string transcript;
  for (const Text& t : receipt.texts) transcript += TranscriptRecord(t.bytes);
  return transcript;
}

TEST(RoundTrip, TwoHundredFiftyFiveVariedItemsDecodeWithoutAProblem) {
  std::string input = "0;THANK YOU\n\xa3\xf3" "d\x9f \"ZAPRASZAMY\"\r\n";
  // Quantities and prices from cents to beyond 131072, names with national
  // letters, slashes, quotes, and longer than the printer takes.
  for (int i = 0; i < 255; ++i) {
    const long quantity = (i * 7919L) % 100000 + 1;
    const long price = (i % 5 == 0) ? 13107201L + i : (i * 104729L) % 5000000 + 1;
    const std::string name = i % 3 == 0 ? "ITEM \xb9\xea/" + std::to_string(i)
                                        : "ITEM \"" + std::to_string(i) +
                                              "\" WITH A NAME OF MORE THAN FORTY BYTES";
    input += std::to_string(i + 1) + "\t" + name + "\t" + std::to_string(i % 9) +
             "\t" + std::to_string(quantity) + "\t" + std::to_string(price) +
             "\tpcs\t\r\n";
  }
  const Decoded decoded = DecodeContents(TranscriptOf(input), "fiskal.log", false);
  EXPECT_EQ(decoded.status, kPrinterOk) << decoded.output;
  EXPECT_NE(decoded.output.find("fiskal.log: transcript, 258 texts"), std::string::npos);
  EXPECT_NE(decoded.output.find("\n  255  ITEM \"254\" WITH A NAME OF MORE THAN FORT  "),
            std::string::npos)
      << decoded.output.substr(decoded.output.size() - 600);
}

TEST(RoundTrip, BundledExampleDecodesWithoutAProblem) {
  std::string input;
  {
    std::FILE* f = std::fopen(FISKAL_EXAMPLES "/fiskal.txt", "rb");
    ASSERT_NE(f, nullptr);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) input.append(buffer, n);
    std::fclose(f);
  }
  const Decoded decoded = DecodeContents(TranscriptOf(input), "fiskal.log", false);
  EXPECT_EQ(decoded.status, kPrinterOk) << decoded.output;
}

}  // namespace
}  // namespace fiskal
