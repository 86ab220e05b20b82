// fiskal-printer decode: a transcript or a raw capture, read back.
#pragma once

#include <string>
#include <string_view>

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

// Decodes file contents named `name`: tells a transcript from a raw
// capture, prints the receipt (or JSON), names every problem.
Decoded DecodeContents(std::string_view contents, std::string_view name, bool json);

// Reads `path` ("-": standard input) and decodes it; writes to stdout and
// stderr and returns the exit status.
int RunDecode(const std::string& path, bool json);

}  // namespace fiskal
