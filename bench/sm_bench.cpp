// Figures of the SM module, each against OpenSSL 3 doing the same job in the
// same run (both sides measured alternately, the best of several rounds
// kept):
//   csm3_throughput       CSM3::sm3 over a 64 MiB buffer, against EVP_sm3
//   sm3_file_throughput   CSM3::sm3_file over a 64 MiB file, against EVP_sm3
//                         over the same file read 64 KiB at a time
//   sm2_verify_mode0      SM2Verify in mode 0 (key text to result through the
//                         whole binding), against EVP_DigestVerify with
//                         OpenSSL's SM2 on a loaded key
//   sm2_verify_mode1      the same in mode 1, against EVP_PKEY_verify over
//                         the digest
//   sigfile_type1_16mib   VerifyFileBySigFileWith, type 1, on a 16 MiB
//                         library, against OpenSSL's SM3 of the file plus one
//                         OpenSSL SM2 verification (a ratio below 1 is faster)

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "base64/base64.h"
#include "sm/sigfile.h"
#include "sm/sm3.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kBufferSize = 64 * kMiB;
constexpr size_t kLibrarySize = 16 * kMiB;
constexpr int kRounds = 7;
constexpr int kVerificationsPerRound = 300;

const char kDefaultId[] = "1234567812345678";

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "sm_bench: %s\n", what);
  std::exit(1);
}

// Best seconds per call of each function over alternating rounds.
std::pair<double, double> BestOfBoth(const std::function<void()>& ours,
                                     const std::function<void()>& reference, int calls) {
  double bestOurs = 1e30, bestReference = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    auto start = Clock::now();
    for (int i = 0; i < calls; ++i) ours();
    bestOurs = std::min(bestOurs, std::chrono::duration<double>(Clock::now() - start).count());
    start = Clock::now();
    for (int i = 0; i < calls; ++i) reference();
    bestReference =
        std::min(bestReference, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return {bestOurs / calls, bestReference / calls};
}

std::vector<unsigned char> RandomBytes(size_t size) {
  std::vector<unsigned char> bytes(size);
  std::mt19937_64 rng(20240611);
  for (size_t i = 0; i + 8 <= size; i += 8) {
    const uint64_t value = rng();
    std::memcpy(bytes.data() + i, &value, 8);
  }
  return bytes;
}

void WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    Die("cannot write a test file");
  }
  std::fclose(file);
}

void OpenSslDigest(const unsigned char* data, size_t size, unsigned char* out) {
  unsigned int length = 0;
  if (EVP_Digest(data, size, out, &length, EVP_sm3(), nullptr) != 1) Die("EVP_Digest");
}

void OpenSslFileDigest(const std::string& path, unsigned char* out) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) Die("cannot read a test file");
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sm3(), nullptr);
  static std::vector<unsigned char> buffer(64 * 1024);
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    EVP_DigestUpdate(ctx, buffer.data(), n);
  }
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx, out, &length);
  EVP_MD_CTX_free(ctx);
  std::fclose(file);
}

void PrintThroughput(const char* name, size_t bytes, std::pair<double, double> seconds,
                     const char* reference) {
  const double ours = static_cast<double>(bytes) / 1e6 / seconds.first;
  const double theirs = static_cast<double>(bytes) / 1e6 / seconds.second;
  std::printf("%s: %.0f MB/s, ratio %.2f to %s (%.0f MB/s)\n", name, ours, ours / theirs,
              reference, theirs);
}

void PrintRate(const char* name, std::pair<double, double> seconds, const char* reference) {
  const double ours = 1.0 / seconds.first;
  const double theirs = 1.0 / seconds.second;
  std::printf("%s: %.0f verifications/s, ratio %.2f to %s (%.0f/s)\n", name, ours, ours / theirs,
              reference, theirs);
}

// An SM2 signer made by OpenSSL, with its key texts.
struct Signer {
  EVP_PKEY* key = nullptr;
  std::string hexCoordinates;  // "X|Y"
  std::string certificatePem;
};

Signer MakeSigner() {
  Signer signer;
  signer.key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
  if (signer.key == nullptr) Die("SM2 key generation");
  BIGNUM *x = nullptr, *y = nullptr;
  EVP_PKEY_get_bn_param(signer.key, OSSL_PKEY_PARAM_EC_PUB_X, &x);
  EVP_PKEY_get_bn_param(signer.key, OSSL_PKEY_PARAM_EC_PUB_Y, &y);
  unsigned char bytes[64];
  BN_bn2binpad(x, bytes, 32);
  BN_bn2binpad(y, bytes + 32, 32);
  BN_free(x);
  BN_free(y);
  const std::string hex = CSM3::string2hex(std::string(reinterpret_cast<char*>(bytes), 64));
  signer.hexCoordinates = hex.substr(0, 64) + "|" + hex.substr(64);

  X509* cert = X509_new();
  X509_set_version(cert, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, signer.key);
  if (X509_sign(cert, signer.key, EVP_sm3()) <= 0) Die("certificate");
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  signer.certificatePem.assign(data, static_cast<size_t>(length));
  BIO_free(bio);
  X509_free(cert);
  return signer;
}

EVP_PKEY_CTX* ContextWithDefaultId(EVP_PKEY* key) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  if (ctx == nullptr || EVP_PKEY_CTX_set1_id(ctx, kDefaultId, 16) != 1) Die("SM2 context");
  return ctx;
}

std::string SignMessage(EVP_PKEY* key, const std::string& message) {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_PKEY_CTX* ctx = ContextWithDefaultId(key);
  EVP_MD_CTX_set_pkey_ctx(md, ctx);
  size_t length = 128;
  std::string der(length, '\0');
  if (EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, key) != 1 ||
      EVP_DigestSign(md, reinterpret_cast<unsigned char*>(der.data()), &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    Die("SM2 signing");
  }
  EVP_MD_CTX_free(md);
  EVP_PKEY_CTX_free(ctx);
  der.resize(length);
  return der;
}

std::string SignDigest(EVP_PKEY* key, const unsigned char* e) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  size_t length = 128;
  std::string der(length, '\0');
  if (EVP_PKEY_sign_init(ctx) != 1 ||
      EVP_PKEY_sign(ctx, reinterpret_cast<unsigned char*>(der.data()), &length, e, 32) != 1) {
    Die("SM2 signing of a digest");
  }
  EVP_PKEY_CTX_free(ctx);
  der.resize(length);
  return der;
}

std::string RawFromDer(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
  unsigned char raw[64];
  BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw, 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw + 32, 32);
  ECDSA_SIG_free(sig);
  return std::string(reinterpret_cast<char*>(raw), 64);
}

bool OpenSslVerifyMessage(EVP_PKEY* key, const std::string& message, const std::string& der) {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_PKEY_CTX* ctx = ContextWithDefaultId(key);
  EVP_MD_CTX_set_pkey_ctx(md, ctx);
  const bool ok =
      EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, key) == 1 &&
      EVP_DigestVerify(md, reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  EVP_MD_CTX_free(md);
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

bool OpenSslVerifyDigest(EVP_PKEY* key, const unsigned char* e, const std::string& der) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  const bool ok = EVP_PKEY_verify_init(ctx) == 1 &&
                  EVP_PKEY_verify(ctx, reinterpret_cast<const unsigned char*>(der.data()),
                                  der.size(), e, 32) == 1;
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

}  // namespace

int main() {
  char folderTemplate[] = "/tmp/sm_bench.XXXXXX";
  if (mkdtemp(folderTemplate) == nullptr) Die("cannot make a temporary folder");
  const std::string folder = folderTemplate;

  // SM3 over a buffer and over a file.
  const std::vector<unsigned char> buffer = RandomBytes(kBufferSize);
  unsigned char digest[32], reference[32];
  CSM3::sm3(buffer.data(), static_cast<int>(buffer.size()), digest);
  OpenSslDigest(buffer.data(), buffer.size(), reference);
  if (std::memcmp(digest, reference, 32) != 0) Die("CSM3 and OpenSSL disagree");
  PrintThroughput(
      "csm3_throughput", kBufferSize,
      BestOfBoth([&] { CSM3::sm3(buffer.data(), static_cast<int>(buffer.size()), digest); },
                 [&] { OpenSslDigest(buffer.data(), buffer.size(), reference); }, 1),
      "OpenSSL EVP_sm3");

  const std::string bigFile = folder + "/data64";
  WriteFile(bigFile, buffer);
  PrintThroughput("sm3_file_throughput", kBufferSize,
                  BestOfBoth([&] { CSM3::sm3_file(bigFile.c_str(), digest); },
                             [&] { OpenSslFileDigest(bigFile, reference); }, 1),
                  "OpenSSL EVP_sm3 over the file");
  if (std::memcmp(digest, reference, 32) != 0) Die("sm3_file and OpenSSL disagree");
  std::filesystem::remove(bigFile);

  // SM2 verification through the whole binding.
  Signer signer = MakeSigner();
  const std::string message(64, 'm');
  const std::string messageDer = SignMessage(signer.key, message);
  const std::string messageRaw = RawFromDer(messageDer);
  if (SM2Verify(message, messageRaw, signer.hexCoordinates, 0) != 1 ||
      !OpenSslVerifyMessage(signer.key, message, messageDer)) {
    Die("mode 0 signatures do not verify");
  }
  PrintRate("sm2_verify_mode0",
            BestOfBoth([&] { SM2Verify(message, messageRaw, signer.hexCoordinates, 0); },
                       [&] { OpenSslVerifyMessage(signer.key, message, messageDer); },
                       kVerificationsPerRound),
            "OpenSSL SM2 EVP_DigestVerify");

  unsigned char e[32];
  OpenSslDigest(reinterpret_cast<const unsigned char*>(message.data()), message.size(), e);
  const std::string eText = CSM3::string2hex(std::string(reinterpret_cast<char*>(e), 32));
  const std::string digestDer = SignDigest(signer.key, e);
  const std::string digestRaw = RawFromDer(digestDer);
  if (SM2Verify(eText, digestRaw, signer.hexCoordinates, 1) != 1 ||
      !OpenSslVerifyDigest(signer.key, e, digestDer)) {
    Die("mode 1 signatures do not verify");
  }
  PrintRate("sm2_verify_mode1",
            BestOfBoth([&] { SM2Verify(eText, digestRaw, signer.hexCoordinates, 1); },
                       [&] { OpenSslVerifyDigest(signer.key, e, digestDer); },
                       kVerificationsPerRound),
            "OpenSSL SM2 EVP_PKEY_verify");

  // A type-1 signature file of a 16 MiB library, checked with a certificate.
  const std::string library = folder + "/library.so";
  const std::vector<unsigned char> libraryBytes(buffer.begin(),
                                                buffer.begin() + static_cast<long>(kLibrarySize));
  WriteFile(library, libraryBytes);
  unsigned char libraryDigest[32];
  OpenSslFileDigest(library, libraryDigest);
  const std::string libraryDer = SignDigest(signer.key, libraryDigest);
  const std::string sigText = Base64::encode64(libraryDer);
  WriteFile(library + ".sig", std::vector<unsigned char>(sigText.begin(), sigText.end()));
  const SigFileKeys keys{signer.hexCoordinates, signer.certificatePem};
  if (!VerifyFileBySigFileWith(library, 1, keys)) Die("the type-1 signature file does not verify");
  const auto seconds = BestOfBoth(
      [&] { VerifyFileBySigFileWith(library, 1, keys); },
      [&] {
        unsigned char fileDigest[32];
        OpenSslFileDigest(library, fileDigest);
        OpenSslVerifyDigest(signer.key, fileDigest, libraryDer);
      },
      1);
  std::printf("sigfile_type1_16mib: %.1f ms, ratio %.2f to OpenSSL SM3 of the file + one SM2 "
              "verification (%.1f ms)\n",
              seconds.first * 1e3, seconds.first / seconds.second, seconds.second * 1e3);

  EVP_PKEY_free(signer.key);
  std::filesystem::remove_all(folder);
  return 0;
}
