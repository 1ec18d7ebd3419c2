#pragma once

// The reference for checking a signed library: OpenSSL's own SM3 of the file
// and one OpenSSL SM2 verification of its type-1 signature over that digest.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

class ReferenceSignatureCheck {
 public:
  // The signer's certificate (PEM) and the library's Base64 ".sig"; false
  // from Ready() when either cannot be read.
  ReferenceSignatureCheck(const std::string& certificatePath, const std::string& signaturePath);
  bool Ready() const { return certificate_ && digest_ && verifier_ && !signature_.empty(); }
  // Hashes the file and verifies the signature over the digest.
  bool Check(const std::string& path);

 private:
  std::unique_ptr<X509, decltype(&X509_free)> certificate_{nullptr, X509_free};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest_{nullptr, EVP_MD_CTX_free};
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> verifier_{nullptr, EVP_PKEY_CTX_free};
  std::unique_ptr<unsigned char[]> buffer_;
  std::string signature_;
};

// The whole content of a file ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);
