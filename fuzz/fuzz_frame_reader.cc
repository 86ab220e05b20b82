// Arbitrary bytes into the frame reader: it reports problems, never
// crashes, hangs or reads out of bounds, and splits without losing a byte.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "printer/decode.h"
#include "protocol/receipt_check.h"
#include "protocol/text_splitter.h"
#include "protocol/transcript_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace fiskal;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // Fed in pieces whose sizes come from the input itself, the splitter
  // gives back every byte, in order, at the right offsets.
  TextSplitter splitter;
  std::vector<RawText> texts;
  std::size_t at = 0;
  std::size_t step = size == 0 ? 1 : (data[0] % 7) + 1;
  while (at < size) {
    const std::size_t n = std::min(step, size - at);
    for (RawText& t : splitter.Feed(input.substr(at, n))) texts.push_back(std::move(t));
    at += n;
    step = step % 5 + 1;
  }
  for (RawText& t : splitter.Finish()) texts.push_back(std::move(t));
  std::string joined;
  for (const RawText& t : texts) {
    if (t.offset != joined.size()) {
      std::fprintf(stderr, "fuzz_frame_reader: offset %zu where %zu was due\n", t.offset,
                   joined.size());
      std::abort();
    }
    joined += t.bytes;
  }
  if (joined != input) {
    std::fprintf(stderr, "fuzz_frame_reader: split lost or changed bytes\n");
    std::abort();
  }

  // Both readings of a file, both renderings.
  (void)DecodeContents(input, "fuzz", false);
  (void)DecodeContents(input, "fuzz", true);
  std::vector<std::string> problems;
  (void)CheckReceipt(SplitTranscript(input, &problems));
  return 0;
}
