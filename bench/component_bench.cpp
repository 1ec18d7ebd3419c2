// getProvider of a 4 MiB component signed with type 1, against the cost of
// its parts measured in the same run: OpenSSL's SM3 of the file, one OpenSSL
// SM2 verification and dlopen of the same file.

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <map>
#include <string>

#include "bench/bench_report.h"
#include "bench/reference_check.h"
#include "dispatch/component_loader.h"

namespace {

const std::string kLibrary = LARGE_COMPONENT;
const std::string kCertificate = SIGNER_CERTIFICATE;

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
  ReferenceSignatureCheck reference(kCertificate, kLibrary + ".sig");
  if (!reference.Ready()) {
    state.SkipWithError("no certificate or signature");
    return;
  }
  for (auto _ : state) {
    // SM3 of the file and one SM2 verification over that digest.
    const bool verified = reference.Check(kLibrary);
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
