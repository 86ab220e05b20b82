// Arbitrary bytes as fiskal.txt: the receipt the run would send, or its
// refusal. What goes out must read back, with the frame reader, as exactly
// what the run meant to print.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/frames.h"
#include "protocol/receipt_check.h"
#include "protocol/transcript_record.h"
#include "receipt/receipt.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_receipt: %s\n", what.c_str());
  std::abort();
}

void Expect(bool ok, const std::string& what) {
  if (!ok) Fail(what);
}

// The 32-bit float of a printed amount.
float Printed(const std::string& text) {
  const auto value = fiskal::ParseAmount(text);
  Expect(value.has_value(), "amount \"" + text + "\" does not read back");
  return static_cast<float>(*value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace fiskal;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  Receipt receipt;
  receipt.nPort = 99;  // a refusal must leave the receipt as it was
  const Status status = PrepareReceipt(input, "fiskal.txt", &receipt);
  if (!status.ok()) {
    Expect(receipt.texts.empty() && receipt.items.empty() && receipt.nPort == 99,
           "a refusal produced texts: " + status.message());
    Expect(status.message().rfind("fiskal.txt", 0) == 0,
           "a refusal does not name the file: " + status.message());
    return 0;
  }

  Expect(receipt.nPort <= 9, "port number above 9");
  Expect(receipt.texts.size() == receipt.items.size() + 3, "texts are not items + 3");
  Expect(receipt.texts.front().bytes == kVersionText, "first text is not the version text");

  std::vector<RawText> raw;
  std::string transcript;
  for (const Text& t : receipt.texts) {
    raw.push_back({t.bytes, 0});
    transcript += TranscriptRecord(t.bytes);
  }
  const ReceiptReport report = CheckReceipt(raw);
  Expect(report.ok(), "the receipt does not read back whole and consistent: " +
                          (report.problems.empty() ? std::string() : report.problems[0]));

  // Every item frame gives back what the run used; numbers run 1, 2, 3, ...
  for (std::size_t i = 0; i < receipt.items.size(); ++i) {
    const DecodedText& t = report.texts[i + 2];
    const ItemValues& v = receipt.items[i];
    Expect(t.kind == TextKind::kItem && t.number == static_cast<int>(i + 1),
           "item " + std::to_string(i + 1) + " is not numbered in order");
    Expect(t.name == v.cNazwa && t.name == ShortName(t.name), "item name differs");
    Expect(t.tax_letter == VAT2PTU(v.cVAT), "tax letter differs");
    Expect(Printed(t.quantity) == v.nSzt, "quantity differs");
    Expect(Printed(t.unit_price) == v.nCena, "unit price differs");
    Expect(t.line_value == Frm(LineValue(v.nCena, v.nSzt)), "line value differs");
  }
  const DecodedText& end = report.texts.back();
  Expect(end.kind == TextKind::kEnd, "last text is not the end frame");
  Expect(Printed(end.total) == receipt.nWart || Frm(receipt.nWart) == end.total,
         "end total is not what the run summed");

  // The transcript reads back as the same texts.
  std::vector<std::string> problems;
  const std::vector<RawText> records = SplitTranscript(transcript, &problems);
  Expect(problems.empty() && records.size() == raw.size(), "transcript does not split back");
  for (std::size_t i = 0; i < raw.size(); ++i) {
    Expect(records[i].bytes == raw[i].bytes, "transcript record differs");
  }
  return 0;
}
