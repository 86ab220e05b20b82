#include "printer/decode.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "printer/render.h"
#include "printer/slip.h"
#include "protocol/receipt_check.h"
#include "protocol/text_splitter.h"
#include "protocol/transcript_record.h"

namespace fiskal {

ReceiptReport ReadReceipt(std::string_view contents, std::string* format) {
  std::vector<RawText> texts;
  std::vector<std::string> format_problems;
  const bool transcript = IsTranscript(contents);
  if (transcript) {
    texts = SplitTranscript(contents, &format_problems);
  } else {
    TextSplitter splitter;
    texts = splitter.Feed(contents);
    for (RawText& t : splitter.Finish()) texts.push_back(std::move(t));
  }
  ReceiptReport report = CheckReceipt(texts);
  report.problems.insert(report.problems.begin(), format_problems.begin(),
                         format_problems.end());
  *format = transcript ? "transcript" : "raw capture";
  return report;
}

Decoded DecodeContents(std::string_view contents, std::string_view name, DecodeFormat as) {
  std::string format;
  const ReceiptReport report = ReadReceipt(contents, &format);
  Decoded decoded;
  switch (as) {
    case DecodeFormat::kJson:
      decoded.output = RenderJson(report, name, format);
      break;
    case DecodeFormat::kHtml:
      decoded.output = SlipPage(report, std::string(name) + ": " + format);
      break;
    case DecodeFormat::kText:
      decoded.output = RenderReceipt(report, std::string(name) + ": " + format);
      break;
  }
  decoded.status = report.ok() ? kPrinterOk : kPrinterProblems;
  return decoded;
}

int RunDecode(const std::string& path, DecodeFormat format) {
  const bool stdin_input = path == "-";
#ifdef _WIN32
  if (stdin_input) _setmode(_fileno(stdin), _O_BINARY);  // no CR LF or ^Z handling
#endif
  std::FILE* in = stdin_input ? stdin : std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "fiskal-printer: %s: cannot open: %s\n", path.c_str(),
                 std::strerror(errno));
    return kPrinterUnreadable;
  }
  std::string contents;
  char buffer[64 * 1024];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) contents.append(buffer, n);
  const bool failed = std::ferror(in) != 0;
  const int err = errno;
  if (!stdin_input) std::fclose(in);
  if (failed) {
    std::fprintf(stderr, "fiskal-printer: %s: cannot read: %s\n", path.c_str(),
                 std::strerror(err));
    return kPrinterUnreadable;
  }
  const Decoded decoded =
      DecodeContents(contents, stdin_input ? "standard input" : path, format);
  std::fwrite(decoded.output.data(), 1, decoded.output.size(), stdout);
  return decoded.status;
}

}  // namespace fiskal
