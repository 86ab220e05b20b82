#include "service/journal/same_receipt.h"

#include "service/os/sha256.h"

namespace fiskal::service {

std::string ReceiptFingerprint(int port, const std::vector<std::string_view>& texts) {
  // "fiskald receipt 1\nport 3\n" then "<length>:<bytes>" for each text:
  // the length says where a text ends, whatever bytes it holds.
  std::string encoded = "fiskald receipt 1\nport " + std::to_string(port) + "\n";
  for (std::string_view t : texts) {
    encoded += std::to_string(t.size());
    encoded += ':';
    encoded += t;
  }
  return Sha256(encoded);
}

std::string ReceiptFingerprint(const Receipt& receipt) {
  std::vector<std::string_view> texts;
  texts.reserve(receipt.texts.size());
  for (const Text& t : receipt.texts) texts.push_back(t.bytes);
  return ReceiptFingerprint(receipt.nPort, texts);
}

std::string ReceiptFingerprint(int port, const std::vector<JournalText>& texts) {
  std::vector<std::string_view> views;
  views.reserve(texts.size());
  for (const JournalText& t : texts) views.push_back(t.bytes);
  return ReceiptFingerprint(port, views);
}

}  // namespace fiskal::service
