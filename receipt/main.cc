// fiskal: prints the receipt described by fiskal.txt in the current folder.

#include <cstdio>
#include <string_view>

#include "protocol/frames.h"
#include "receipt/outcome.h"
#include "receipt/run.h"

namespace {

constexpr std::string_view kUsage =
    "usage: fiskal [--help | --version]\n"
    "\n"
    "Prints the receipt described by fiskal.txt in the current folder on the\n"
    "fiscal printer and records every text sent in fiskal.log. The first\n"
    "character of fiskal.txt selects the port: 1 to 9 a serial port (the\n"
    "device named by FISKAL_COM<n>, else /dev/ttyS<n-1>), anything else a\n"
    "log-only run that touches no port.\n"
    "\n"
    "Exit status: 0 the receipt went out whole; 1 nothing was sent (input\n"
    "missing or refused, fiskal.log cannot be created, bad arguments);\n"
    "2 the port or the transcript failed while sending.\n";

void Print(std::FILE* to, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), to);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) return fiskal::Report(fiskal::RunReceipt(fiskal::SystemEnv()), stderr);
  const std::string_view arg = argv[1];
  if (argc == 2 && arg == "--help") {
    Print(stdout, kUsage);
    return fiskal::Report(fiskal::Succeeded(), stderr);
  }
  if (argc == 2 && arg == "--version") {
    Print(stdout, fiskal::VersionLine(fiskal::kProgramName));
    return fiskal::Report(fiskal::Succeeded(), stderr);
  }
  Print(stderr, kUsage);
  return fiskal::Report(fiskal::Failed(0, "unexpected argument '" + std::string(arg) +
                                              "'; fiskal takes none (it reads fiskal.txt in "
                                              "the current folder)"),
                        stderr);
}
