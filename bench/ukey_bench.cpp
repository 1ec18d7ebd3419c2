// One signing request end to end, against its unavoidable parts measured in
// the same run:
//   ukey_sign_request  a fresh TLS connection to the staged service carrying
//                      invokeProvider "Sign" through the adapter tarven_ukey
//                      to the software UKey driver (vendor "test"), against
//                      the sum of a TLS handshake round trip to the same
//                      service (a preflight on a fresh connection), OpenSSL's
//                      SM3 of the driver file, one OpenSSL SM2 verification
//                      (the driver's type-1 signature) and one OpenSSL SM2
//                      signature.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "bench/bench_report.h"
#include "bench/reference_check.h"
#include "json/json_text.h"
#include "tests/support/service_process.h"
#include "tests/support/ukey_ca.h"
#include "tests/support/ukey_support.h"
#include "tools/client/envelope.h"
#include "tools/client/https_client.h"

namespace {

using namespace std::chrono_literals;

constexpr int kIterations = 40;
// The service pauses 100 ms after each connection it hands off; requests are
// spaced beyond that so the pause is not what is measured.
constexpr auto kSpacing = 120ms;
const std::string kSerial = "BENCH0001";
const std::string kData = "转账 100.00 元 to Bob, ref 4711";

int servicePort = 0;
std::string signRequest;

// An adapter call as a page sends it, answered through the service; the
// adapter's reply.
std::string Invoke(const std::string& call) {
  Json::Value command(Json::objectValue);
  command["pcode"] = 1;
  command["params"] = call;
  std::string response, reply;
  vasquill_client::Exchange(
      servicePort, vasquill_client::GetRequest("cb", vasquill_client::BuildEnvelope(WriteCompactJson(command))),
      response);
  vasquill_client::ParseJsonp(response, "cb", reply);
  return reply;
}

bool Succeeded(const std::string& reply, std::string* value = nullptr) {
  const ukey_testing::Reply parsed = ukey_testing::ReadReply(reply);
  if (!parsed.wellFormed || parsed.items.size() != 3 || parsed.items[0]["ret"] != 0) return false;
  if (value) *value = parsed.items[2]["value"].asString();
  return true;
}

Json::Value Object(std::initializer_list<std::pair<const char*, Json::Value>> members) {
  Json::Value object(Json::objectValue);
  for (const auto& [key, value] : members) object[key] = value;
  return object;
}

// Loads the adapter and gives the virtual key a signing pair with a
// certificate; the PIN entered for the request stays cached in the driver.
bool PrepareKey(std::string* failure) {
  Json::Value load = Object({{"pcode", 0}, {"name", "tarven_ukey"}});
  std::string response, reply;
  vasquill_client::Exchange(
      servicePort, vasquill_client::GetRequest("cb", vasquill_client::BuildEnvelope(WriteCompactJson(load))), response);
  if (!vasquill_client::ParseJsonp(response, "cb", reply) || reply != "{\"ecode\":0,\"message\":\"成功\"}\n") {
    *failure = "getProvider: " + response;
    return false;
  }
  if (!Succeeded(reply = Invoke(ukey_testing::Call("InitUKey", "test", Object({{"szSN", kSerial}}))))) {
    *failure = "InitUKey: " + reply;
    return false;
  }
  std::string request;
  reply = Invoke(ukey_testing::Call("GenerateCertRequest", "test",
                                    Object({{"szSN", kSerial}, {"szRequestInfo", "CN=Bench,O=Example Bank,C=CN"}})));
  if (!Succeeded(reply, &request)) {
    *failure = "GenerateCertRequest: " + reply;
    return false;
  }
  ukey_testing::TestCa ca;
  const std::string certificate = ca.Issue(request, 30, failure);
  if (certificate.empty()) return false;
  if (!Succeeded(reply = Invoke(ukey_testing::Call("ImportX509Cert", "test",
                                                   Object({{"szSN", kSerial}, {"szCert", certificate}}))))) {
    *failure = "ImportX509Cert: " + reply;
    return false;
  }
  Json::Value sign = Object(
      {{"pcode", 1},
       {"params", ukey_testing::Call("Sign", "test",
                                     Object({{"szSN", kSerial}, {"nHashType", 1}, {"nFlag", 0}, {"szData", kData}}))}});
  signRequest = vasquill_client::GetRequest("cb", vasquill_client::BuildEnvelope(WriteCompactJson(sign)));
  return true;
}

void RoundTrips(benchmark::State& state, const std::string& request, bool signing) {
  std::string response, reply;
  for (auto _ : state) {
    std::this_thread::sleep_for(kSpacing);
    const auto start = std::chrono::steady_clock::now();
    const bool exchanged = vasquill_client::Exchange(servicePort, request, response);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    const bool answered = signing ? vasquill_client::ParseJsonp(response, "cb", reply) && Succeeded(reply)
                                  : response.find("Access-Control-Allow-Origin") != std::string::npos;
    if (!exchanged || !answered) {
      state.SkipWithError(("wrong or missing response: " + response).c_str());
      break;
    }
  }
}

void BM_SignRequest(benchmark::State& state) { RoundTrips(state, signRequest, true); }
void BM_HandshakeRoundTrip(benchmark::State& state) { RoundTrips(state, "OPTIONS / HTTP/1.1\r\n\r\n", false); }

template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, decltype([](T* object) { Free(object); })>;

void BM_CryptoParts(benchmark::State& state) {
  const std::string driver = ukey_testing::VendorPath("test");
  ReferenceSignatureCheck reference(UKEY_SIGNER_CERTIFICATE, driver + ".sig");
  Owned<EVP_PKEY, EVP_PKEY_free> signingKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  if (!reference.Ready() || !signingKey) {
    state.SkipWithError("no certificate, driver signature or key");
    return;
  }
  unsigned char signed_[80];
  for (auto _ : state) {
    // SM3 of the driver file and one SM2 verification: the driver's
    // signature over that digest.
    const bool verified = reference.Check(driver);
    // One SM2 signature with SM3 and the default identity.
    Owned<EVP_MD_CTX, EVP_MD_CTX_free> signer(EVP_MD_CTX_new());
    EVP_PKEY_CTX* signerContext = nullptr;
    size_t signedLength = sizeof signed_;
    const bool signedOk =
        EVP_DigestSignInit_ex(signer.get(), &signerContext, "SM3", nullptr, nullptr, signingKey.get(), nullptr) == 1 &&
        EVP_PKEY_CTX_set1_id(signerContext, "1234567812345678", 16) == 1 &&
        EVP_DigestSign(signer.get(), signed_, &signedLength, reinterpret_cast<const unsigned char*>(kData.data()),
                       kData.size()) == 1;
    if (!verified || !signedOk) {
      state.SkipWithError("the reference could not verify or sign");
      break;
    }
  }
}

BENCHMARK(BM_SignRequest)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HandshakeRoundTrip)->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CryptoParts)->Iterations(kIterations)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // The software driver asks the PIN of the new key through this script.
  const std::string askpass = std::string(UKEY_BENCH_WORK) + "/askpass.sh";
  std::filesystem::create_directories(UKEY_BENCH_WORK);
  std::ofstream(askpass, std::ios::trunc) << "#!/bin/sh\necho 123456\n";
  chmod(askpass.c_str(), 0755);
  setenv("VASQUILL_SOFTKEY_ASKPASS", askpass.c_str(), 1);

  testing_support::ServiceProcess service;
  servicePort = service.WaitForPort();
  std::string failure;
  if (servicePort == 0) {
    std::fprintf(stderr, "ukey_bench: the staged service did not start\n%s", service.Output().c_str());
  } else if (!PrepareKey(&failure)) {
    std::fprintf(stderr, "ukey_bench: %s\n", failure.c_str());
    servicePort = 0;
  }
  if (servicePort == 0) {
    std::printf("ukey_sign_request: failed\n");
    return 1;
  }

  std::map<std::string, double> seconds = RunBenchmarks(&argc, argv);
  const double ours = seconds["BM_SignRequest"];
  const double handshake = seconds["BM_HandshakeRoundTrip"];
  const double crypto = seconds["BM_CryptoParts"];
  if (ours > 0 && handshake > 0 && crypto > 0) {
    std::printf(
        "ukey_sign_request: %.2f ms, ratio %.2f to TLS handshake round trip + SM3 of the driver + SM2 verification "
        "+ SM2 signature (%.2f + %.2f ms, OpenSSL)\n",
        ours * 1000, ours / (handshake + crypto), handshake * 1000, crypto * 1000);
  } else {
    std::printf("ukey_sign_request: failed\n");
  }
  return 0;
}
