// Verification of a library's detached signature file.

#include "sm/sigfile.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "base64/base64.h"
#include "sm/sm2_asn1.h"
#include "sm/sm2_binding.h"
#include "sm/sm3.h"

namespace {

constexpr size_t kRawSignatureSize = 64;
// Lengths are handled as signed 32-bit numbers: a library must be smaller.
constexpr long long kLargestFile = 0x7FFFFFFFLL;
const char kCertificateHeader[] = "-----BEGIN CERTIFICATE-----";

struct FileClose {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

// The size of an open file, or -1 when it cannot be told.
long long FileSize(FILE* file) {
  if (fseeko(file, 0, SEEK_END) != 0) return -1;
  const off_t size = ftello(file);
  if (size < 0 || fseeko(file, 0, SEEK_SET) != 0) return -1;
  return static_cast<long long>(size);
}

bool IsReadableLibrary(const std::string& path) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  const long long size = FileSize(file.get());
  return size >= 0 && size <= kLargestFile;
}

// "X|Y" or "X,Y": odd length, the separator in the middle and only there.
bool SplitCoordinates(const std::string& text, std::string& x, std::string& y) {
  if (text.size() % 2 == 0) return false;
  const char middle = text[text.size() / 2];
  if (!((middle == '|' && findcout(text, "|") == 1) ||
        (middle == ',' && findcout(text, ",") == 1))) {
    return false;
  }
  x = text.substr(0, text.size() / 2);
  y = text.substr(text.size() / 2 + 1);
  return true;
}

EC_KEY* KeyFromCoordinates(const std::string& xText, const std::string& yText) {
  BIGNUM* x = nullptr;
  BIGNUM* y = nullptr;
  EC_KEY* key = nullptr;
  if (BN_hex2bn(&x, xText.c_str()) > 0 && BN_hex2bn(&y, yText.c_str()) > 0) {
    key = EC_KEY_from_BN(x, y, nullptr);
  }
  BN_free(x);
  BN_free(y);
  return key;
}

EC_KEY* KeyFromText(const std::string& text) {
  X509* cert = nullptr;
  if (text.find(kCertificateHeader) != std::string::npos) {
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    if (bio != nullptr) cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
  } else {
    std::string x, y;
    if (SplitCoordinates(text, x, y)) return KeyFromCoordinates(x, y);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    cert = d2i_X509(nullptr, &bytes, static_cast<long>(text.size()));
  }
  EC_KEY* key = EC_KEY_from_X509(cert);
  X509_free(cert);
  return key;
}

// The DER signature as 64 raw bytes; false when it does not decode or a
// number needs more than 32 bytes.
bool RawFromDer(const std::string& der, std::string& raw) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
  EC_SM2_SIG* sig = d2i_EC_SM2_SIG(nullptr, &bytes, static_cast<long>(der.size()));
  if (sig == nullptr) return false;
  unsigned char out[kRawSignatureSize];
  const bool ok = BN_bn2binpad(sig->r, out, 32) == 32 && BN_bn2binpad(sig->s, out + 32, 32) == 32;
  EC_SM2_SIG_free(sig);
  if (ok) raw.assign(reinterpret_cast<const char*>(out), kRawSignatureSize);
  return ok;
}

}  // namespace

size_t findcout(const std::string& text, const std::string& needle) {
  size_t count = 0;
  size_t position = text.find(needle, 0);
  while (position != std::string::npos) {
    ++count;
    position = text.find(needle, position + (needle.empty() ? 1 : needle.size()));
  }
  return count;
}

std::string ReadFile(const std::string& path, const std::string& mode) {
  FilePtr file(std::fopen(path.c_str(), mode.c_str()));
  if (!file) return {};
  const long long size = FileSize(file.get());
  if (size < 0 || size > kLargestFile) return {};
  std::string bytes(static_cast<size_t>(size), '\0');
  if (size > 0 && std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
    return {};
  }
  return bytes;
}

int SM2Verify(const std::string& message, const std::string& signature, const std::string& key,
              int mode) {
  if (key.empty() || message.empty()) return 0;
  if (signature.size() < kRawSignatureSize) return 0;
  // Whatever OpenSSL reports while parsing is dropped again, so that the
  // thread's error queue is left as it was found.
  ERR_set_mark();
  int result = 0;
  EVP_PKEY* pkey = nullptr;
  EVP_PKEY_CTX* ctx = nullptr;
  if (EC_KEY* ecKey = KeyFromText(key)) pkey = EVP_PKEY_SM2_init(ecKey);
  if (pkey != nullptr) ctx = EVP_PKEY_CTX_new(pkey, nullptr);
  if (ctx != nullptr) {
    EC_KEY_set_flag(ctx, mode);
    if (EVP_PKEY_verify_init(ctx) > 0 &&
        EVP_PKEY_verify(ctx, reinterpret_cast<const unsigned char*>(signature.data()),
                        signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                        message.size()) > 0) {
      result = 1;
    }
  }
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(pkey);
  EVP_sm2_cleanup();
  ERR_pop_to_mark();
  return result;
}

bool VerifyFileBySigFileWith(const std::string& path, int type, const SigFileKeys& keys) {
  if (type == 0) {
    // Empty when the library cannot be read or is too large.
    const std::string library = ReadFile(path, "rb");
    const std::string signature = ReadFile(path + ".sig", "rb");
    return SM2Verify(library, signature, std::string(keys.type0Key), 0) == 1;
  }
  if (type != 1) return false;

  // The library is only hashed, straight from the file.
  if (!IsReadableLibrary(path)) return false;
  unsigned char digest[32] = {};
  if (CSM3::sm3_file(path.c_str(), digest) != 0) return false;
  const std::string message =
      CSM3::string2hex(std::string(reinterpret_cast<const char*>(digest), sizeof digest));

  std::string signature = Base64::decode64(ReadFile(path + ".sig", "rb"));
  if (signature.size() > kRawSignatureSize) {
    std::string raw;
    if (!RawFromDer(signature, raw)) return false;
    signature = std::move(raw);
  }
  return SM2Verify(message, signature, std::string(keys.certificate), 1) == 1;
}
