// How a run ends: its exit status and the one line it prints about it. The
// program's name prefix and the meaning of every exit status live here.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace fiskal {

inline constexpr std::string_view kProgramName = "fiskal";

enum class ExitStatus : int {
  kOk = 0,           // the receipt went out whole (or --help, --version)
  kNothingSent = 1,  // input missing or refused, bad arguments: nothing sent
  kSendFailed = 2,   // the port or the transcript failed while sending
};

struct Outcome {
  ExitStatus status = ExitStatus::kOk;
  std::string message;  // empty when there is nothing to say
};

// Writes "fiskal: <message>" as one line to err when there is a message,
// and returns the process exit status.
int Report(const Outcome& outcome, std::FILE* err);

}  // namespace fiskal
