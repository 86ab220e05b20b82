// SHA-256, the digest of a receipt's body (the same bytes under a key are
// its receipt, without reading them) and of its fingerprint
// (service/journal/same_receipt.h): one function, one file per platform
// (OpenSSL on POSIX systems, the system's CNG on Windows).
#pragma once

#include <string>

namespace fiskal::service {

// The 32 bytes of the digest of `bytes`.
std::string Sha256(const std::string& bytes);

}  // namespace fiskal::service
