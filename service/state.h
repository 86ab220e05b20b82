// The states of a receipt in fiskald.
//
//   queued -> sending -> printed | not_sent | cut | in_doubt
//   in_doubt | cut -> resolved_printed | resolved_not_printed
#pragma once

#include <optional>
#include <string_view>

namespace fiskal::service {

enum class State {
  kQueued,              // accepted, waiting for its port
  kSending,             // its texts are going out
  kPrinted,             // every text went out
  kNotSent,             // nothing reached the printer
  kCut,                 // failed while sending: the printer's receipt is left open
  kInDoubt,             // the service stopped while sending it; never sent again
  kResolvedPrinted,     // an operator's word: it printed
  kResolvedNotPrinted,  // an operator's word: it did not print
};

inline constexpr State kAllStates[] = {
    State::kQueued,  State::kSending, State::kPrinted,
    State::kNotSent, State::kCut,     State::kInDoubt,
    State::kResolvedPrinted, State::kResolvedNotPrinted};

std::string_view StateName(State state);
std::optional<State> ParseState(std::string_view name);

// No further change but an operator's word (in_doubt, cut) or none at all.
bool IsFinal(State state);
// Waits for an operator's decision.
bool NeedsDecision(State state);

}  // namespace fiskal::service
