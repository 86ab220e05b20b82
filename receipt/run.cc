#include "receipt/run.h"

#include <memory>
#include <string>

#include "line/printer_line.h"
#include "line/stop_signal.h"
#include "protocol/pacing.h"
#include "receipt/receipt.h"

namespace fiskal {

namespace {

// What the printer has seen when text `failed` (0-based) of the receipt did
// not go through, and whether that text itself reached the port.
std::string Progress(const Receipt& receipt, std::size_t failed,
                     bool failed_text_sent) {
  const std::size_t out = failed + (failed_text_sent ? 1 : 0);
  std::string text;
  if (failed == 0) {
    text = "nothing is recorded in " + std::string(kTranscriptFile);
  } else {
    text = "the " + std::to_string(failed) +
           (failed == 1 ? " text" : " texts") + " before it went out and " +
           (failed == 1 ? "is" : "are") + " recorded in " + kTranscriptFile;
  }
  if (receipt.nPort == 0) return text;  // log-only: no printer involved
  const bool begun = out >= 2;  // the begin frame went out
  const bool ended = out == receipt.texts.size();
  if (begun && !ended) {
    text += "; the receipt is left open on the printer without its end frame";
  } else if (!begun) {
    text += "; no receipt was begun on the printer";
  }
  return text;
}

}  // namespace

Sent SendReceipt(PortFactory& ports, Clock& clock, StopFlag& stop, const Receipt& receipt,
                 Transcript& transcript) {
  PrinterLine line(ports, transcript, clock, stop);
  if (Status s = line.PelkInit(receipt.nPort); !s.ok()) {
    return {Failed(0, s.message() + "; nothing was sent"), 0};
  }

  const std::size_t count = receipt.texts.size();
  // Stops the run after `done` texts because a stop signal came.
  auto stopped = [&](std::size_t done) -> Sent {
    const std::string by = std::string("stopped by ") + StopSignalName(stop.StopSignal());
    if (done == 0) return {Failed(0, by + " before anything was sent"), 0};
    const Text& last = receipt.texts[done - 1];
    return {Failed(done, by + " after text " + std::to_string(done) + " of " +
                             std::to_string(count) + " (" + last.label + "); " +
                             Progress(receipt, done, false)),
            done};
  };

  for (std::size_t i = 0; i < count; ++i) {
    if (stop.StopSignal() != 0) return stopped(i);
    const Text& text = receipt.texts[i];
    const std::string which = text.label + " (text " + std::to_string(i + 1) +
                              " of " + std::to_string(count) + ")";
    if (Status s = line.WriteComm(receipt.nPort, text.bytes); !s.ok()) {
      const bool went_out = line.last_text_sent();
      return {Failed(i + 1, which + ": " + s.message() + "; " + Progress(receipt, i, went_out)),
              i + (went_out ? 1 : 0)};
    }
    // A stop asked for while the last text went out comes too late to
    // matter: the receipt is whole.
    if (i + 1 == count) break;
    if (stop.StopSignal() != 0) return stopped(i + 1);
    if (!text.pause_after) continue;
    if (Status s = line.Pause(kFramePause); !s.ok()) {
      if (stop.StopSignal() != 0) return stopped(i + 1);
      return {Failed(i + 1, "after the " + which + ": " + s.message() + "; " +
                                Progress(receipt, i + 1, false)),
              i + 1};
    }
  }
  return {Succeeded(), count};
}

Outcome RunReceipt(Env& env) {
  std::string contents;
  if (Status s = env.ReadFile(kInputFile, &contents); !s.ok()) {
    return Failed(0, s.message() + "; nothing was sent and " + kTranscriptFile +
                         " was not touched (run fiskal in the folder that holds " +
                         kInputFile + ")");
  }

  std::unique_ptr<Transcript> transcript;
  if (Status s = env.CreateTranscript(kTranscriptFile, &transcript); !s.ok()) {
    return Failed(0, s.message() + "; nothing was sent");
  }

  Receipt receipt;
  if (Status s = PrepareReceipt(contents, kInputFile, &receipt); !s.ok()) {
    Status closed = transcript->Close();
    std::string message = s.message() + "; nothing was sent";
    if (!closed.ok()) message += " (and " + closed.message() + ")";
    return Failed(0, message);
  }

  const Sent sent = SendReceipt(env, env.clock(), env, receipt, *transcript);
  // A failure has been said already; a close that fails after it adds
  // nothing the caller can act on.
  if (Status s = transcript->Close(); !s.ok() && sent.outcome.status == ExitStatus::kOk) {
    return Failed(sent.texts_out, "the receipt went out whole, but " + s.message());
  }
  return sent.outcome;
}

}  // namespace fiskal
