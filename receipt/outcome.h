// How a run of fiskal ends: its exit status and the one line it prints
// about it. The program's name prefix, the meaning of every exit status and
// the choice of the status (Succeeded, Failed) live here; the run and main
// say only what happened.
#pragma once

#include <cstddef>
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

// The receipt went out whole, or --help or --version was answered: 0.
Outcome Succeeded();

// A failure, `texts_tried` texts of the receipt having been handed to the
// printer line (the failed one included): with none, nothing was sent (1:
// input missing or refused, a lock held, bad arguments, a stop before the
// first text); with any, the printer may hold part of the receipt (2: the
// port or the transcript failed, or a stop signal came, once sending had
// begun; also when only the closing of the transcript failed).
Outcome Failed(std::size_t texts_tried, std::string message);

// Writes "fiskal: <message>" as one line to err when there is a message,
// and returns the process exit status.
int Report(const Outcome& outcome, std::FILE* err);

}  // namespace fiskal
