#include "bench/reference_check.h"

#include <openssl/pem.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "base64/base64.h"

namespace {
constexpr size_t kPiece = 1 << 16;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

ReferenceSignatureCheck::ReferenceSignatureCheck(const std::string& certificatePath,
                                                 const std::string& signaturePath)
    : buffer_(new unsigned char[kPiece]), signature_(Base64::decode64(ReadWholeFile(signaturePath))) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(certificatePath.c_str(), "r"), BIO_free);
  if (bio) certificate_.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  EVP_PKEY* key = certificate_ ? X509_get0_pubkey(certificate_.get()) : nullptr;
  if (key == nullptr) return;
  digest_.reset(EVP_MD_CTX_new());
  verifier_.reset(EVP_PKEY_CTX_new(key, nullptr));
}

bool ReferenceSignatureCheck::Check(const std::string& path) {
  if (!Ready()) return false;
  EVP_DigestInit_ex(digest_.get(), EVP_sm3(), nullptr);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  for (size_t count; (count = std::fread(buffer_.get(), 1, kPiece, file)) > 0;) {
    EVP_DigestUpdate(digest_.get(), buffer_.get(), count);
  }
  std::fclose(file);
  unsigned char e[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(digest_.get(), e, &length);
  return EVP_PKEY_verify_init(verifier_.get()) == 1 &&
         EVP_PKEY_verify(verifier_.get(), reinterpret_cast<const unsigned char*>(signature_.data()),
                         signature_.size(), e, length) == 1;
}
