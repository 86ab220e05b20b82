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
#include "protocol/receipt_check.h"
#include "protocol/text_splitter.h"
#include "protocol/transcript_record.h"

namespace fiskal {

Decoded DecodeContents(std::string_view contents, std::string_view name, bool json) {
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
  const std::string format = transcript ? "transcript" : "raw capture";
  Decoded decoded;
  decoded.output = json ? RenderJson(report, name, format)
                        : RenderReceipt(report, std::string(name) + ": " + format);
  decoded.status = report.ok() ? kPrinterOk : kPrinterProblems;
  return decoded;
}

int RunDecode(const std::string& path, bool json) {
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
      DecodeContents(contents, stdin_input ? "standard input" : path, json);
  std::fwrite(decoded.output.data(), 1, decoded.output.size(), stdout);
  return decoded.status;
}

}  // namespace fiskal
