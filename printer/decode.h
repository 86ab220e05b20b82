// fiskal-printer decode: a transcript or a raw capture, read back.
#pragma once

#include <string>
#include <string_view>

#include "protocol/receipt_check.h"

namespace fiskal {

// Exit statuses of fiskal-printer.
enum PrinterExit : int {
  kPrinterOk = 0,        // receipt whole and consistent (and paced)
  kPrinterProblems = 1,  // any problem found; also bad arguments
  kPrinterUnreadable = 2,  // the input cannot be read or the line not opened
};

struct Decoded {
  std::string output;
  int status = kPrinterOk;
};

// How decode shows a receipt: as text for a person, as JSON for a script,
// or as an HTML page with the receipt drawn as a paper slip.
enum class DecodeFormat { kText, kJson, kHtml };

// Decodes file contents named `name`: tells a transcript from a raw
// capture, prints the receipt in the format asked for, names every problem.
Decoded DecodeContents(std::string_view contents, std::string_view name, DecodeFormat as);
inline Decoded DecodeContents(std::string_view contents, std::string_view name, bool json) {
  return DecodeContents(contents, name, json ? DecodeFormat::kJson : DecodeFormat::kText);
}

// The texts of a transcript or a raw capture, checked as one receipt;
// `format` is set to "transcript" or "raw capture".
ReceiptReport ReadReceipt(std::string_view contents, std::string* format);

// Reads `path` ("-": standard input) and decodes it; writes to stdout and
// stderr and returns the exit status.
int RunDecode(const std::string& path, DecodeFormat format);

}  // namespace fiskal
