// The certificate reload of the HTTPS front door on the platform's own
// files (on Windows too, under Wine): a renewed certificate is taken
// without a restart; a renewal the key check refuses, or whose key is not
// the certificate's, keeps the one in use and is said.

#include "service/http/certificates.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "testing/temp_dir.h"

namespace fiskal::service::http {
namespace {

// A new EC key and a certificate named CN=`name` signed by it, written as
// PEM to `cert` and `key` (through new files renamed over the old, as a
// renewal replaces them).
void MakeCertificate(const std::string& name, const std::string& cert, const std::string& key) {
  EVP_PKEY* pkey = EVP_EC_gen("P-256");
  ASSERT_NE(pkey, nullptr);
  X509* x509 = X509_new();
  X509_set_version(x509, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
  X509_gmtime_adj(X509_getm_notBefore(x509), 0);
  X509_gmtime_adj(X509_getm_notAfter(x509), 24 * 3600);
  X509_NAME* subject = X509_get_subject_name(x509);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
  X509_set_issuer_name(x509, subject);
  X509_set_pubkey(x509, pkey);
  ASSERT_GT(X509_sign(x509, pkey, EVP_sha256()), 0);
  for (const auto& [path, is_key] : {std::pair{key, true}, std::pair{cert, false}}) {
    const std::string fresh = path + ".new";
    std::FILE* f = std::fopen(fresh.c_str(), "wb");
    ASSERT_NE(f, nullptr) << fresh;
    const int written = is_key ? PEM_write_PrivateKey(f, pkey, nullptr, nullptr, 0, nullptr, nullptr)
                               : PEM_write_X509(f, x509);
    std::fclose(f);
    ASSERT_EQ(written, 1) << fresh;
    std::remove(path.c_str());
    ASSERT_EQ(std::rename(fresh.c_str(), path.c_str()), 0) << path;
  }
  X509_free(x509);
  EVP_PKEY_free(pkey);
}

std::string SubjectOf(const std::shared_ptr<boost::asio::ssl::context>& context) {
  if (!context) return "(none)";
  X509* x509 = SSL_CTX_get0_certificate(context->native_handle());
  char name[256] = {};
  X509_NAME_oneline(X509_get_subject_name(x509), name, sizeof name);
  return name;
}

TEST(Certificates, ARenewalIsTakenAndARefusedOneIsNot) {
  testing::TempDir dir;
  const std::string cert = dir.File("cert.pem");
  const std::string key = dir.File("key.pem");
  MakeCertificate("first", cert, key);
  bool refuse_key = false;
  std::vector<std::string> said;
  TlsContexts contexts(TlsFiles{cert, key,
                                [&](const std::string& path) {
                                  return refuse_key ? Status::Error("TLS key " + path + ": no")
                                                    : Status::Ok();
                                }},
                       [&](const std::string& line) { said.push_back(line); });
  ASSERT_TRUE(contexts.Load().ok());
  EXPECT_EQ(SubjectOf(contexts.Current()), "/CN=first");

  // Each step writes new files, then asks for the context until the files
  // have been looked at again (once a second at most) and it is said.
  auto after_change = [&](std::size_t lines_before) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::shared_ptr<boost::asio::ssl::context> current = contexts.Current();
    while (said.size() == lines_before && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      current = contexts.Current();
    }
    return current;
  };

  MakeCertificate("second", cert, key);
  EXPECT_EQ(SubjectOf(after_change(said.size())), "/CN=second");
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said.back(), "certificate " + cert + " loaded again");

  // Each refusal names the key and keeps the certificate in use (how
  // OpenSSL words a key that does not match is its own).
  struct Case {
    const char* what;
    bool refuse_key;
    bool foreign_key;  // the key of another certificate
    std::string says;
  };
  const std::string kept = "; the certificate loaded before stays in use";
  const Case cases[] = {
      {"a key the check refuses", true, false, "TLS key " + key + ": no" + kept},
      {"a key that is not the certificate's", false, true, "key " + key + ": cannot load: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    refuse_key = c.refuse_key;
    if (c.foreign_key) {
      MakeCertificate("other", dir.File("other-cert.pem"), key);
    } else {
      MakeCertificate("third", cert, key);
    }
    const std::size_t before = said.size();
    EXPECT_EQ(SubjectOf(after_change(before)), "/CN=second");
    ASSERT_EQ(said.size(), before + 1);
    EXPECT_EQ(said.back().rfind(c.says, 0), 0u) << said.back();
    EXPECT_EQ(said.back().substr(said.back().size() - std::min(said.back().size(), kept.size())),
              kept);
    EXPECT_EQ(SubjectOf(contexts.Current()), "/CN=second");
  }
}

}  // namespace
}  // namespace fiskal::service::http
