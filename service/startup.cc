// fiskald's start on its journal (service/startup.h); the order of its
// steps is written here only.

#include "service/startup.h"

#include <map>

#include "service/state.h"

namespace fiskal::service {

Status RecoverAtStart(Journal& journal, int keep_days, AnswerBody answer,
                      std::function<void()> outbox_changed,
                      const std::function<void(const std::string&)>& say, Recovered* recovered) {
  *recovered = Recovered{};
  // Answers through the broker are the receipt as the API shows it; they
  // are stored even while no broker is configured, for when one is again.
  // Set before the first change of a receipt's state, the marking in_doubt
  // below included: a change made before it would be answered to no one.
  journal.SetOutbox(std::move(answer), std::move(outbox_changed));

  // The receipts fiskald stopped while sending are counted and said before
  // they are marked in_doubt: killed between the two, the next start finds
  // them still sending and says it again, where the other way round the
  // line would be lost with them marked.
  std::map<State, std::int64_t> states;
  if (Status s = journal.CountByState(&states); !s.ok()) return s;
  recovered->interrupted = states[State::kSending];
  if (recovered->interrupted > 0) {
    say(std::to_string(recovered->interrupted) +
        " receipt(s) were being sent when fiskald stopped; they are " +
        "in_doubt and are not sent again: resolve them once the printer has been looked at");
  }
  if (Status s = journal.MarkInterruptedInDoubt(&recovered->in_doubt); !s.ok()) return s;
  if (Status s = journal.Purge(keep_days, &recovered->purged); !s.ok()) return s;
  return journal.Queued(&recovered->queued);
}

}  // namespace fiskal::service
