// The listener needs pseudo-terminals; on Windows it only says so.

#include <cstdio>

#include "printer/decode.h"
#include "printer/listen.h"

namespace fiskal {

int RunListen(const ListenOptions&, Clock&) {
  std::fputs("fiskal-printer: listen is available on Linux only; decode works here\n", stderr);
  return kPrinterUnreadable;
}

}  // namespace fiskal
