// A journal as fiskald wrote it at version 3 (before each receipt kept its
// fingerprint), made with that version's SQL, for the tests that bring
// one up to date.
#pragma once

#include <string>
#include <vector>

namespace fiskal::testing {

struct OldReceipt {
  std::string key;
  std::string body_sha256;
  std::string state;  // "printed", "queued", ...
  int port = 0;
  std::vector<std::string> texts;  // in sending order
};

// Writes it at `path` (a file that does not exist yet); the receipts get
// ids 1, 2, ... in order. Throws std::runtime_error when SQLite fails.
void WriteVersion3Journal(const std::string& path, const std::vector<OldReceipt>& receipts);

}  // namespace fiskal::testing
