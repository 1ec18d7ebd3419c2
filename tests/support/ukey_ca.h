#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

// A certificate authority for tests, with OpenSSL's own SM2 (SM3 and the
// default identity "1234567812345678"), and the check of SM2 signatures
// against a certificate.
namespace ukey_testing {

class TestCa {
 public:
  TestCa();
  ~TestCa();
  TestCa(const TestCa&) = delete;
  TestCa& operator=(const TestCa&) = delete;

  bool Ready() const { return key_ != nullptr && certificate_ != nullptr; }
  // Checks the request (Base64 of a DER PKCS#10 request, or PEM) and issues a
  // certificate for its subject and key, valid for days from now; the
  // Base64 of its DER form, or "" with the reason in *error.
  std::string Issue(const std::string& request, int days, std::string* error);

 private:
  EVP_PKEY* key_ = nullptr;
  X509* certificate_ = nullptr;
};

// True when signature (Base64 of a DER SM2 signature) is a valid SM2
// signature with SM3 and the default identity of data, made with the key of
// certificate (Base64 of DER, or PEM).
bool VerifySm2Signature(const std::string& certificate, const std::string& data, const std::string& signature,
                        std::string* error = nullptr);

// The subject of a certificate (Base64 of DER, or PEM) in OpenSSL's one-line
// form, "" when it does not parse.
std::string CertificateSubject(const std::string& certificate);

}  // namespace ukey_testing
