#include "service/os/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace fiskal::service {
namespace {

std::string Hex(const std::string& bytes) {
  static const char* const kDigits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

// The digests the journal stores must be the same on every platform: a
// journal moved between them still tells a repeated body from another.
TEST(Sha256, KnownDigestsOnEveryPlatform) {
  const struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {std::string("a\0b", 3), "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Hex(Sha256(c.input)), c.digest) << c.input.size() << " bytes";
  }
}

}  // namespace
}  // namespace fiskal::service
