#include "protocol/transcript_record.h"

namespace fiskal {

namespace {

constexpr char kQuote = '"';
constexpr std::string_view kRecordEnd = "\"\r\n";  // closing quote, CR, LF

}  // namespace

std::string TranscriptRecord(std::string_view text) {
  std::string record;
  record.reserve(text.size() + 1 + kRecordEnd.size());
  record += kQuote;
  record += text;
  record += kRecordEnd;
  return record;
}

bool IsTranscript(std::string_view file) { return file.empty() || file[0] == kQuote; }

std::vector<RawText> SplitTranscript(std::string_view file,
                                     std::vector<std::string>* problems) {
  std::vector<RawText> texts;
  std::size_t pos = 0;
  while (pos < file.size()) {
    if (file[pos] == kQuote) {
      const std::size_t end = file.find(kRecordEnd, pos + 1);
      if (end != std::string_view::npos) {
        texts.push_back({std::string(file.substr(pos + 1, end - pos - 1)), pos + 1});
        pos = end + kRecordEnd.size();
        continue;
      }
      problems->push_back("offset " + std::to_string(pos) +
                          ": record without its closing double quote and CR LF");
      std::string_view text = file.substr(pos + 1);
      if (text.size() >= 2 && text.substr(text.size() - 2) == "\"\r") {
        text.remove_suffix(2);
      } else if (!text.empty() && text.back() == kQuote) {
        text.remove_suffix(1);
      }
      texts.push_back({std::string(text), pos + 1});
      return texts;
    }
    // Bytes between records: up to the next double quote at a line start.
    std::size_t next = pos;
    for (;;) {
      next = file.find(kQuote, next + 1);
      if (next == std::string_view::npos || file[next - 1] == '\n') break;
    }
    if (next == std::string_view::npos) next = file.size();
    texts.push_back({std::string(file.substr(pos, next - pos)), pos});
    pos = next;
  }
  return texts;
}

}  // namespace fiskal
