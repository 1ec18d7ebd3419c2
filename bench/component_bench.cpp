// getProvider of a 4 MiB component signed with type 1, against the cost of
// its parts measured in the same run: OpenSSL's SM3 of the file, one OpenSSL
// SM2 verification and dlopen of the same file.

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>

#include "base64/base64.h"
#include "bench/bench_report.h"
#include "dispatch/component_loader.h"

namespace {

const std::string kLibrary = LARGE_COMPONENT;
const std::string kCertificate = SIGNER_CERTIFICATE;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void BM_GetProvider(benchmark::State& state) {
  Json::Value load;
  load["name"] = kLibrary;
  load["type"] = 1;
  std::string reply;
  for (auto _ : state) {
    if (getProvider(load, reply) != 0) {
      state.SkipWithError(("getProvider failed: " + reply).c_str());
      break;
    }
    state.PauseTiming();
    removeProvider(Json::Value(), reply);
    state.ResumeTiming();
  }
}

void BM_Parts(benchmark::State& state) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(kCertificate.c_str(), "r"), BIO_free);
  std::unique_ptr<X509, decltype(&X509_free)> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                          X509_free);
  EVP_PKEY* key = certificate ? X509_get0_pubkey(certificate.get()) : nullptr;
  const std::string signature = Base64::decode64(ReadAll(kLibrary + ".sig"));
  if (key == nullptr || signature.empty()) {
    state.SkipWithError("no certificate or signature");
    return;
  }
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> verifier(EVP_PKEY_CTX_new(key, nullptr),
                                                                       EVP_PKEY_CTX_free);
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[1 << 16]);
  for (auto _ : state) {
    // SM3 of the file.
    EVP_DigestInit_ex(digest.get(), EVP_sm3(), nullptr);
    std::FILE* file = std::fopen(kLibrary.c_str(), "rb");
    for (size_t count; file && (count = std::fread(buffer.get(), 1, 1 << 16, file)) > 0;) {
      EVP_DigestUpdate(digest.get(), buffer.get(), count);
    }
    if (file) std::fclose(file);
    unsigned char e[32];
    unsigned int length = 0;
    EVP_DigestFinal_ex(digest.get(), e, &length);
    // One SM2 verification over that digest.
    EVP_PKEY_verify_init(verifier.get());
    const bool verified = EVP_PKEY_verify(verifier.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                                          signature.size(), e, length) == 1;
    // Loading the library.
    void* handle = dlopen(kLibrary.c_str(), RTLD_LAZY);
    if (!verified || handle == nullptr) {
      state.SkipWithError("the reference could not verify or load the library");
      break;
    }
    state.PauseTiming();
    dlclose(handle);
    state.ResumeTiming();
  }
}

BENCHMARK(BM_GetProvider)->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parts)->Iterations(40)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, double> seconds = RunBenchmarks(&argc, argv);
  const double ours = seconds["BM_GetProvider"];
  const double parts = seconds["BM_Parts"];
  if (ours > 0 && parts > 0) {
    std::printf("getprovider_4mib_type1: %.2f ms, ratio %.2f to SM3 + SM2 verification + dlopen (OpenSSL)\n",
                ours * 1000, ours / parts);
  } else {
    std::printf("getprovider_4mib_type1: failed\n");
  }
  return 0;
}
