#include "receipt/receipt.h"

#include <cfloat>

#include "protocol/frames.h"
#include "receipt/analiza.h"
#include "receipt/input.h"

namespace fiskal {

std::string TooManyItems() {
  return "a receipt holds at most " + std::to_string(kMaxItems) + " items";
}

Status PrepareReceipt(std::string_view contents, std::string_view file_name,
                      Receipt* receipt, std::size_t* refused_line) {
  std::size_t ignored = 0;
  if (refused_line == nullptr) refused_line = &ignored;
  *refused_line = 0;
  // Refuses with the line's number in front of the reason.
  auto at_line = [&](std::size_t line, const Status& s) {
    *refused_line = line;
    return s.Context(std::string(file_name) + ":" + std::to_string(line));
  };
  const std::vector<std::string> lines = SplitLines(contents);
  if (lines.empty()) {
    return Status::Error(std::string(file_name) +
                         " is empty: it needs at least the header line");
  }

  ReceiptState state;
  const Header header = ParseHeader(lines[0]);
  state.nPort = header.nPort;
  state.cStopka = header.cStopka;
  // A TAB has no use in a footer. One there almost always means the file's
  // lines end in LF alone, so the item lines were read as part of the
  // header: printing that would close an empty receipt and report success.
  if (state.cStopka.find(kTab) != std::string::npos) {
    return at_line(1,
                  Status::Error("the footer holds a TAB, so the item lines were "
                                "read as part of the header: lines must end "
                                "with CR LF (or CR); a file with LF-only line "
                                "ends is one single line"));
  }
  if (state.cStopka.find(kEsc) != std::string::npos) {
    return at_line(1,
                  Status::Error("footer holds an ESC byte (27), which would "
                                "end the printer frame early"));
  }

  Receipt built;
  built.nPort = state.nPort;
  built.texts.push_back({std::string(kVersionText), "version text", false});
  built.texts.push_back({PelkStart(), "begin frame", true});

  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty()) continue;
    const std::size_t line_number = i + 1;
    if (Status s = Analiza(line, state.cNazwa, state.cVAT, state.nSzt,
                           state.nCena);
        !s.ok()) {
      return at_line(line_number, s);
    }
    if (state.nLp == kMaxItems) {
      return at_line(line_number, Status::Error(TooManyItems()));
    }
    ++state.nLp;

    const double product = static_cast<double>(state.nCena) * state.nSzt;
    if (!(product <= FLT_MAX)) {
      return at_line(line_number,
                    Status::Error("quantity times unit price is beyond the "
                                  "range of amounts"));
    }
    const double total =
        static_cast<double>(state.nWart) + LineValue(state.nCena, state.nSzt);
    if (!(total <= FLT_MAX)) {
      return at_line(line_number,
                    Status::Error("the receipt total is beyond the range of "
                                  "amounts"));
    }
    state.nWart = static_cast<float>(total);

    built.texts.push_back(
        {PelkLinia(state.nLp, state.cNazwa, state.nCena, state.nSzt,
                   state.cVAT),
         "item " + std::to_string(state.nLp), true});
    built.items.push_back({state.cNazwa, state.cVAT, state.nSzt, state.nCena});
  }

  built.texts.push_back({PelkEnd(state.cStopka, state.nWart), "end frame",
                         false});
  built.nWart = state.nWart;
  *receipt = std::move(built);
  return Status::Ok();
}

}  // namespace fiskal
