#include "line/transcript.h"

namespace fiskal {

std::string TranscriptRecord(std::string_view text) {
  std::string record;
  record.reserve(text.size() + 4);
  record += '"';
  record += text;
  record += "\"\r\n";
  return record;
}

}  // namespace fiskal
