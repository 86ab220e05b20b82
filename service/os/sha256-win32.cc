// SHA-256 through Windows' own cryptography (CNG): BCryptHash with the
// system's SHA-256 provider, opened once.

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "service/os/sha256.h"
#include "service/os/system.h"

namespace fiskal::service {

namespace {

constexpr ULONG kDigestBytes = 32;

// The provider cannot be missing on a supported Windows; if it is, the
// service cannot tell bodies apart and must not run on.
[[noreturn]] void Unavailable(const char* what, NTSTATUS status) {
  char line[160];
  std::snprintf(line, sizeof line, "SHA-256 (Windows CNG): %s failed (status 0x%08lx)", what,
                static_cast<unsigned long>(status));
  Say(line);
  std::abort();
}

BCRYPT_ALG_HANDLE Provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    const NTSTATUS s = BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (s < 0) Unavailable("BCryptOpenAlgorithmProvider", s);
    return h;
  }();
  return provider;
}

}  // namespace

std::string Sha256(const std::string& bytes) {
  std::string digest(kDigestBytes, '\0');
  BCRYPT_HASH_HANDLE hash = nullptr;
  NTSTATUS s = BCryptCreateHash(Provider(), &hash, nullptr, 0, nullptr, 0, 0);
  if (s < 0) Unavailable("BCryptCreateHash", s);
  // BCryptHashData takes at most 4 GiB at a time.
  constexpr std::size_t kChunk = 1u << 30;
  for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
    const std::size_t n = std::min(kChunk, bytes.size() - at);
    s = BCryptHashData(hash,
                       reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + at)),
                       static_cast<ULONG>(n), 0);
    if (s < 0) Unavailable("BCryptHashData", s);
  }
  s = BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(digest.data()), kDigestBytes, 0);
  if (s < 0) Unavailable("BCryptFinishHash", s);
  BCryptDestroyHash(hash);
  return digest;
}

}  // namespace fiskal::service
