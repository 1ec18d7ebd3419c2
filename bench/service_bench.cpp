// Figures of the service spine, each against a reference measured in the
// same run:
//   getversion_roundtrip    one getVersion over a fresh TLS connection, against
//                           `openssl s_server -www` answering a GET the same way
//   idle_connection_memory  resident memory the service adds per open idle
//                           connection, against the 256 KiB budget

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_report.h"
#include "service/tls_material.h"
#include "tests/support/service_process.h"
#include "tools/client/envelope.h"
#include "tools/client/https_client.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRoundTrips = 60;
constexpr int kIdleConnections = 100;
constexpr double kIdleBudgetKiB = 256;
// The service pauses 100 ms after each connection it hands off; round trips
// are spaced beyond that so the pause is not what is measured.
constexpr auto kSpacing = 120ms;

int servicePort = 0;
int referencePort = 0;

// A free loopback port for the reference server.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// `openssl s_server -www` with the service's own certificate and key.
class ReferenceServer {
 public:
  explicit ReferenceServer(int port) {
    const std::string accept = "127.0.0.1:" + std::to_string(port);
    const std::string pass = "pass:" + ServerKeyPassphrase();
    const std::string certificate = ServerCertificatePath();
    const std::string key = ServerKeyPath();
    pid_ = fork();
    if (pid_ == 0) {
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      execlp("openssl", "openssl", "s_server", "-www", "-quiet", "-accept", accept.c_str(), "-cert",
             certificate.c_str(), "-key", key.c_str(), "-pass", pass.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 500 && !testing_support::ListeningOn(port); ++i) std::this_thread::sleep_for(10ms);
  }
  ~ReferenceServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }

 private:
  pid_t pid_ = -1;
};

void RoundTrips(benchmark::State& state, const int& port, const std::string& request, const std::string& expected) {
  std::string response;
  for (auto _ : state) {
    std::this_thread::sleep_for(kSpacing);
    const auto start = std::chrono::steady_clock::now();
    const bool exchanged = vasquill_client::Exchange(port, request, response);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!exchanged || response.find(expected) == std::string::npos) {
      state.SkipWithError("wrong or missing response");
      break;
    }
  }
}

void BM_GetVersionRoundTrip(benchmark::State& state) {
  RoundTrips(state, servicePort, vasquill_client::GetRequest("cb", vasquill_client::BuildEnvelope("{\"pcode\":4}")),
             "\"version\":\"1.0.0.0\"");
}

void BM_SServerRoundTrip(benchmark::State& state) {
  RoundTrips(state, referencePort, "GET / HTTP/1.0\r\n\r\n", "HTTP/1.0 200 ok");
}

BENCHMARK(BM_GetVersionRoundTrip)->Iterations(kRoundTrips)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SServerRoundTrip)->Iterations(kRoundTrips)->UseManualTime()->Unit(benchmark::kMillisecond);

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Resident memory added per open idle connection (handshake done, no
// request sent), with kIdleConnections open at once.
double IdleConnectionKiB(testing_support::ServiceProcess& service) {
  // Warm up allocator arenas and TLS state with a few served requests.
  std::string response;
  for (int i = 0; i < 4; ++i) {
    vasquill_client::Exchange(servicePort, "OPTIONS / HTTP/1.1\r\n\r\n", response);
    std::this_thread::sleep_for(kSpacing);
  }
  const long before = ResidentKiB(service.Pid());
  std::vector<std::unique_ptr<vasquill_client::TlsConnection>> open;
  for (int i = 0; i < kIdleConnections; ++i) {
    auto connection = vasquill_client::TlsConnection::Open(servicePort, {});
    if (!connection) return -1;
    open.push_back(std::move(connection));
  }
  std::this_thread::sleep_for(300ms);
  const long after = ResidentKiB(service.Pid());
  return static_cast<double>(after - before) / kIdleConnections;
}

}  // namespace

int main(int argc, char** argv) {
  testing_support::ServiceProcess service;
  servicePort = service.WaitForPort();
  if (servicePort == 0) {
    std::fprintf(stderr, "service_bench: the staged service did not start\n%s", service.Output().c_str());
    return 1;
  }
  referencePort = FreePort();
  ReferenceServer reference(referencePort);

  std::map<std::string, double> seconds = RunBenchmarks(&argc, argv);

  const double ours = seconds["BM_GetVersionRoundTrip"];
  const double theirs = seconds["BM_SServerRoundTrip"];
  if (ours > 0 && theirs > 0) {
    std::printf("getversion_roundtrip: %.2f ms, ratio %.2f to openssl s_server\n", ours * 1000, ours / theirs);
  } else {
    std::printf("getversion_roundtrip: failed\n");
  }
  const double idle = IdleConnectionKiB(service);
  if (idle >= 0) {
    std::printf("idle_connection_memory: %.1f KiB, ratio %.2f to %.0f KiB budget\n", idle, idle / kIdleBudgetKiB,
                kIdleBudgetKiB);
  } else {
    std::printf("idle_connection_memory: failed\n");
  }
  return 0;
}
