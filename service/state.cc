#include "service/state.h"

namespace fiskal::service {

std::string_view StateName(State state) {
  switch (state) {
    case State::kQueued: return "queued";
    case State::kSending: return "sending";
    case State::kPrinted: return "printed";
    case State::kNotSent: return "not_sent";
    case State::kCut: return "cut";
    case State::kInDoubt: return "in_doubt";
    case State::kResolvedPrinted: return "resolved_printed";
    case State::kResolvedNotPrinted: return "resolved_not_printed";
  }
  return "unknown";
}

std::optional<State> ParseState(std::string_view name) {
  for (State state : kAllStates) {
    if (StateName(state) == name) return state;
  }
  return std::nullopt;
}

bool IsFinal(State state) {
  return state != State::kQueued && state != State::kSending;
}

bool NeedsDecision(State state) {
  return state == State::kInDoubt || state == State::kCut;
}

}  // namespace fiskal::service
