// SHA-256 through OpenSSL.

#include <openssl/evp.h>

#include "service/os/sha256.h"

namespace fiskal::service {

std::string Sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), size);
}

}  // namespace fiskal::service
