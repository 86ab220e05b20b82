// fiskal-printer: a virtual fiscal printer and a transcript reader.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "printer/decode.h"
#include "printer/listen.h"
#include "protocol/frames.h"

namespace {

constexpr std::string_view kUsage =
    "usage: fiskal-printer decode [--json | --html] [FILE]\n"
    "       fiskal-printer listen [--link PATH] [--once] [--capture FILE] [--json]\n"
    "       fiskal-printer --help | --version\n"
    "\n"
    "decode   Reads FILE (default fiskal.log; - reads standard input), a\n"
    "         transcript or a raw capture of the line, says which, prints the\n"
    "         receipt as a person reads it and names every problem: checksum,\n"
    "         unknown frame, item numbers out of order, line value or total\n"
    "         that does not add up, amounts beyond a 32-bit float, texts\n"
    "         after the end frame, missing end frame, bytes outside any\n"
    "         frame.\n"
    "  --json   print the decoded receipt as JSON instead (bytes as code\n"
    "           points U+0000 to U+00FF, amounts as numbers)\n"
    "  --html   print an HTML page with the receipt drawn as a paper slip,\n"
    "           as fiskald's page shows receipts (nothing fetched from elsewhere)\n"
    "\n"
    "listen   Opens a pseudo-terminal pair at 9600 8N1 raw, prints the device\n"
    "         a sender should open, and decodes every text as it arrives, with\n"
    "         the time since the receipt's first byte. Flags a text that came\n"
    "         less than 0.5 s after a begin or item frame, allowing 5 ms; the\n"
    "         pause is timed from the last time it found the line quiet\n"
    "         before the frame's end (it looks every 10 ms), so a late read\n"
    "         on a busy machine never makes a pause look short. Ends on\n"
    "         SIGINT or SIGTERM.\n"
    "  --link PATH     make PATH a symbolic link to the device (removed on exit);\n"
    "                  e.g. FISKAL_COM1=PATH fiskal\n"
    "  --once          exit after the first end frame, once the sender has\n"
    "                  closed the port (waiting at most 10 s)\n"
    "  --capture FILE  write every byte received to FILE\n"
    "  --json          print each receipt as one line of JSON when it ends (as\n"
    "                  decode --json, with every text's arrival times and the\n"
    "                  pauses) and nothing else on standard output; the other\n"
    "                  lines go to standard error\n"
    "\n"
    "Exit status: 0 the receipt was whole and consistent (for listen --once\n"
    "also correctly paced; listen without --once: stopped by a signal);\n"
    "1 a problem was found, listen --once stopped before an end frame, or bad\n"
    "arguments; 2 the file cannot be read or the line cannot be opened.\n";

int Usage(const std::string& complaint) {
  std::fprintf(stderr, "fiskal-printer: %s\n%s", complaint.c_str(), kUsage.data());
  return fiskal::kPrinterProblems;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "--help") {
    std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
    return fiskal::kPrinterOk;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::fputs(fiskal::VersionLine("fiskal-printer").c_str(), stdout);
    return fiskal::kPrinterOk;
  }
  if (args.empty()) return Usage("a command is needed");

  if (args[0] == "decode") {
    fiskal::DecodeFormat format = fiskal::DecodeFormat::kText;
    std::string file;
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--json") {
        format = fiskal::DecodeFormat::kJson;
      } else if (args[i] == "--html") {
        format = fiskal::DecodeFormat::kHtml;
      } else if (args[i] == "--help") {
        std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
        return fiskal::kPrinterOk;
      } else if (file.empty() && (args[i] == "-" || args[i][0] != '-')) {
        file = args[i];
      } else {
        return Usage("unexpected argument '" + args[i] + "' for decode");
      }
    }
    return fiskal::RunDecode(file.empty() ? "fiskal.log" : file, format);
  }

  if (args[0] == "listen") {
    fiskal::ListenOptions options;
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--once") {
        options.once = true;
      } else if (args[i] == "--json") {
        options.json = true;
      } else if (args[i] == "--help") {
        std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
        return fiskal::kPrinterOk;
      } else if ((args[i] == "--link" || args[i] == "--capture") && i + 1 < args.size()) {
        (args[i] == "--link" ? options.link : options.capture) = args[i + 1];
        ++i;
      } else {
        return Usage("unexpected argument '" + args[i] + "' for listen");
      }
    }
    return fiskal::RunListen(options);
  }
  return Usage("unknown command '" + args[0] + "'");
}
