// The staged service under load and against faulty peers, on loopback only
// and bounded in count and time: many requests in a row, many stalled
// connections while others are served, and peers that reset, overflow or
// trickle.  Each case meets a fresh service (ctest runs cases one by one).
//
// VASQUILL_LOAD_REQUESTS sets the number of requests in a row (default
// 2000); sanitizer builds run fewer, and skip the memory bounds, since their
// allocators keep freed memory in quarantine.

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/service_fixture.h"
#include "tests/support/service_requests.h"
#include "tools/client/envelope.h"
#include "tools/client/https_client.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::Connect;
using testing_support::Form;
using vasquill_client::BuildEnvelope;
using vasquill_client::GetRequest;
using vasquill_client::PostRequest;
using vasquill_client::TlsConnection;

const std::string kHeader = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
const std::string kVersionReply = "{\"ecode\":0,\"message\":\"成功\",\"version\":\"1.0.0.0\"}\n";
const std::string kBodyRefusal = "HTTP/1.1 400 Bad Request\r\n\r\nError";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// A value of /proc/PID/status ("VmRSS" in KiB, "Threads"), or -1.
long StatusValue(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, key.size() + 1, key + ":") == 0) return std::atol(line.c_str() + key.size() + 1);
  }
  return -1;
}

// Polls until the condition holds or the limit passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

std::string PostHead(const std::string& boundary, size_t contentLength) {
  return "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + boundary +
         "\r\nContent-Length: " + std::to_string(contentLength) + "\r\n\r\n";
}

// The first bytes a TLS client sends (its ClientHello record), made by
// OpenSSL's client into memory.
std::string ClientHello() {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  SSL* ssl = SSL_new(context.get());
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, out);
  SSL_connect(ssl);  // wants to read the server's answer; the hello is out
  char* data = nullptr;
  const long size = BIO_get_mem_data(out, &data);
  std::string hello(data, static_cast<size_t>(size > 0 ? size : 0));
  SSL_free(ssl);
  return hello;
}

class LoadTest : public testing_support::StagedServiceTest {
 protected:
  pid_t Pid() const { return service_->Pid(); }
  long Threads() const { return StatusValue(Pid(), "Threads"); }
  long RssKiB() const { return StatusValue(Pid(), "VmRSS"); }

  // One getVersion on a fresh connection; the time it took, or a negative
  // value when the answer was wrong.
  double TimedVersion(const std::string& callback = "cb") {
    const auto start = Clock::now();
    std::string response;
    const bool answered = vasquill_client::Exchange(port_, GetRequest(callback, BuildEnvelope("{\"pcode\":4}")), response);
    if (!answered || response != kHeader + callback + "(" + kVersionReply + ")") return -1;
    return Seconds(Clock::now() - start);
  }

  // The number of threads with no connection open, once the connection
  // threads have ended.  Before it, `concurrent` connections are open at the
  // same time, so that the allocator has made the arenas that many threads
  // use, and each then gets its answer.
  long IdleThreads(int concurrent = 1) {
    std::vector<std::unique_ptr<TlsConnection>> open;
    const std::string request = GetRequest("cb", BuildEnvelope("{\"pcode\":4}"));
    for (int i = 0; i < concurrent; ++i) {
      open.push_back(Connect(port_));
      if (open.back()) open.back()->Send(request.substr(0, 20));
    }
    for (auto& connection : open) {
      if (!connection) continue;
      connection->Send(request.substr(20));
      EXPECT_EQ(connection->ReadToEnd(), kHeader + "cb(" + kVersionReply + ")");
    }
    long threads = 0;
    WaitUntil(
        [&] {
          const long before = Threads();
          std::this_thread::sleep_for(300ms);
          threads = Threads();
          return threads == before;
        },
        5s);
    return threads;
  }

  void ExpectUnharmed(long idleThreads, const std::string& after) {
    EXPECT_TRUE(service_->Running()) << after;
    const double seconds = TimedVersion();
    EXPECT_GE(seconds, 0) << "getVersion not answered " << after;
    EXPECT_LT(seconds, 1.0) << after;
    EXPECT_TRUE(WaitUntil([&] { return Threads() <= idleThreads; }, 10s))
        << Threads() << " threads, " << idleThreads << " when idle, " << after;
  }
};

TEST_F(LoadTest, ManyRequestsInARowOnFreshConnections) {
  int requests = 2000;
  if (const char* text = std::getenv("VASQUILL_LOAD_REQUESTS")) requests = std::atoi(text);
  ASSERT_GE(requests, 200);
  const long idleThreads = IdleThreads();
  long rssAfterFirst = 0;
  int wrong = 0;
  const auto start = Clock::now();
  for (int i = 0; i < requests; ++i) {
    // JSONP and form requests by turns, each with its own callback name.
    const std::string callback = "cb" + std::to_string(i);
    const bool form = i % 2 == 1;
    const std::string command = form ? "{\"errcode\":-901,\"pcode\":5}" : "{\"pcode\":4}";
    const std::string reply = form ? "{\"ecode\":0,\"errormessage\":\"组件库不存在\"}\n" : kVersionReply;
    const std::string envelope = BuildEnvelope(command);
    std::string response;
    const bool answered =
        vasquill_client::Exchange(port_, form ? PostRequest(callback, envelope) : GetRequest(callback, envelope), response);
    if (!answered || response != kHeader + callback + "(" + reply + ")") {
      ADD_FAILURE() << "request " << i << ": " << (answered ? response : "no connection");
      if (++wrong == 5) break;
    }
    if (i + 1 == 100) {
      ASSERT_TRUE(WaitUntil([&] { return Threads() <= idleThreads; }, 10s));
      rssAfterFirst = RssKiB();
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return Threads() <= idleThreads; }, 10s)) << Threads() << " threads";
  const long rssAfterAll = RssKiB();
  const double seconds = Seconds(Clock::now() - start);
  std::printf("requests in a row: %d in %.1f s (%.1f ms each); resident memory %ld KiB after 100, %ld KiB after all "
              "(%+.1f %%); threads %ld\n",
              requests, seconds, seconds * 1000 / requests, rssAfterFirst, rssAfterAll,
              100.0 * (rssAfterAll - rssAfterFirst) / rssAfterFirst, Threads());
  EXPECT_EQ(wrong, 0);
  if (!kSanitized) {
    EXPECT_LE(rssAfterAll, rssAfterFirst * 11 / 10);
  }
}

// Connections that stop before their request: some never start the TLS
// handshake, some stop in its middle, some stop in the middle of the header
// block.  Meanwhile a fresh getVersion is answered within 1 s each time; the
// stalled ones are closed by the time limits (10 s for the handshake, 30 s
// for each read), without an answer, and threads and memory return to their
// idle level.
TEST_F(LoadTest, StalledPeersAreClosedByTheTimeLimitsWhileOthersAreServed) {
  constexpr int kStalled = 200;
  constexpr int kBatch = 5;
  const long idleThreads = IdleThreads(30);
  const long idleRss = RssKiB();
  const std::string hello = ClientHello();
  ASSERT_GT(hello.size(), 20u);

  // Each stalled peer has a thread that waits for the service to close it
  // and notes when that happened and whether anything came before.
  struct Stalled {
    int kind = 0;             // 0 silent, 1 half a ClientHello, 2 half a header block
    int fd = -1;              // kinds 0 and 1
    std::unique_ptr<TlsConnection> tls;  // kind 2
    Clock::time_point since;  // last byte sent
    Clock::time_point closed;
    bool answered = false;
    std::thread watcher;

    ~Stalled() {
      // A test that ends early wakes the watcher up.
      if (watcher.joinable()) {
        shutdown(tls ? tls->Socket() : fd, SHUT_RDWR);
        watcher.join();
      }
      if (fd >= 0) close(fd);
    }
  };
  std::vector<std::unique_ptr<Stalled>> stalled;
  std::vector<double> latencies;
  long peakThreads = 0;
  for (int i = 0; i < kStalled; i += kBatch) {
    for (int j = i; j < i + kBatch; ++j) {
      auto peer = std::make_unique<Stalled>();
      peer->kind = j % 3;
      if (peer->kind == 2) {
        peer->tls = Connect(port_, 90s);
        ASSERT_TRUE(peer->tls);
        ASSERT_TRUE(peer->tls->Send("GET /?jsoncallback=cb HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
      } else {
        peer->fd = vasquill_client::ConnectLoopback(port_, 90s);
        ASSERT_GE(peer->fd, 0);
        if (peer->kind == 1) {
          ASSERT_EQ(send(peer->fd, hello.data(), hello.size() / 2, MSG_NOSIGNAL), static_cast<ssize_t>(hello.size() / 2));
        }
      }
      peer->since = Clock::now();
      Stalled* watched = peer.get();
      peer->watcher = std::thread([watched] {
        char byte;
        // A TLS read takes the session tickets that follow the handshake and
        // waits on; a raw read sees the end (or a reset) at once.
        watched->answered = watched->tls ? SSL_read(watched->tls->Session(), &byte, 1) > 0
                                         : recv(watched->fd, &byte, 1, 0) > 0;
        watched->closed = Clock::now();
      });
      stalled.push_back(std::move(peer));
    }
    latencies.push_back(TimedVersion("v" + std::to_string(i)));
    EXPECT_GE(latencies.back(), 0) << "getVersion not answered after " << i + kBatch << " stalled peers";
    EXPECT_LT(latencies.back(), 1.0) << "after " << i + kBatch << " stalled peers";
    peakThreads = std::max(peakThreads, Threads());
  }
  const long peakRss = RssKiB();

  // Every stalled connection ends without a byte of answer, within its limit.
  const auto created = Clock::now();
  double slowestHandshake = 0, slowestHeader = 0;
  for (auto& peer : stalled) {
    peer->watcher.join();
    EXPECT_FALSE(peer->answered) << "a stalled peer of kind " << peer->kind << " got an answer";
    const double waited = Seconds(peer->closed - peer->since);
    double& slowest = peer->kind == 2 ? slowestHeader : slowestHandshake;
    slowest = std::max(slowest, waited);
  }
  EXPECT_LT(slowestHandshake, 10 + 3.0);
  EXPECT_LT(slowestHeader, 30 + 3.0);
  EXPECT_GT(slowestHeader, 30 - 1.0) << "closed before the read limit";

  EXPECT_TRUE(WaitUntil([&] { return Threads() <= idleThreads; }, 10s)) << Threads() << " threads";
  std::this_thread::sleep_for(500ms);
  const long afterRss = RssKiB();
  double worst = 0;
  for (double latency : latencies) worst = std::max(worst, latency);
  std::printf("stalled peers: %d; getVersion meanwhile at most %.0f ms; closed after at most %.1f s (handshake) and "
              "%.1f s (header block), %.1f s after the last was made; threads %ld idle, %ld at peak, %ld after; "
              "resident memory %ld KiB idle, %ld KiB at peak, %ld KiB after\n",
              kStalled, worst * 1000, slowestHandshake, slowestHeader, Seconds(Clock::now() - created), idleThreads,
              peakThreads, Threads(), idleRss, peakRss, afterRss);
  // What stays is the allocator's fragmentation in its per-thread arenas
  // (about 130 KiB in each of 16), not memory per connection: requests in a
  // row leave the service's size flat.
  if (!kSanitized) {
    EXPECT_LE(afterRss, idleRss * 5 / 4) << "resident memory did not return to its idle level";
  }
  ExpectUnharmed(idleThreads, "after the stalled peers");
}

// Peers that misbehave in other ways; after each the service answers the
// next getVersion at once and its threads return to their idle level.
TEST_F(LoadTest, FaultyPeersLeaveTheServiceUnharmed) {
  const long idleThreads = IdleThreads();
  const std::string boundary = "b0undary";
  const std::string form = Form(boundary, {{"jsoncallback", "cb"},
                                           {"str", vasquill_client::EncodeQueryValue(BuildEnvelope("{\"pcode\":4}"))},
                                           {"com", "1"},
                                           {"x", "1"},
                                           {"y", "2"}});
  const struct {
    const char* name;
    // Runs the peer; returns what it received.
    std::function<std::string(int port)> peer;
    std::string expected;
  } cases[] = {
      {"resets in the middle of a long response",
       [](int port) {
         // A callback name of 1 MiB makes a response of about 70 writes.
         auto connection = Connect(port);
         if (!connection) return std::string("<no connection>");
         connection->Send(GetRequest(std::string(1 << 20, 'c'), BuildEnvelope("{\"pcode\":4}")));
         char piece[16384];
         const int got = SSL_read(connection->Session(), piece, sizeof piece);
         const linger reset{1, 0};
         setsockopt(connection->Socket(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
         connection.reset();  // closes with unread data and no lingering: a reset
         return std::string(got > 0 ? "part" : "nothing");
       },
       "part"},
      {"sends a 2 MiB header block without a blank line",
       [](int port) {
         auto connection = Connect(port);
         if (!connection) return std::string("<no connection>");
         connection->Send("GET /?jsoncallback=cb HTTP/1.1\r\nX-Filler: " + std::string(2 * 1024 * 1024, 'a'));
         return connection->ReadToEnd();
       },
       ""},
      {"sends more body than announced with the header block",
       [&](int port) {
         auto connection = Connect(port);
         if (!connection) return std::string("<no connection>");
         connection->Send(PostHead(boundary, form.size()) + form + std::string(4096, 'x'));
         return connection->ReadToEnd();
       },
       kHeader + "cb(" + kVersionReply + ")"},
      {"sends more body than announced in a later read",
       [&](int port) {
         auto connection = Connect(port);
         if (!connection) return std::string("<no connection>");
         connection->Send(PostHead(boundary, form.size()) + form.substr(0, 40));
         std::this_thread::sleep_for(200ms);
         connection->Send(form.substr(40) + std::string(4096, 'x'));
         return connection->ReadToEnd();
       },
       kBodyRefusal},
      {"sends the body in many small pieces",
       [&](int port) {
         auto connection = Connect(port);
         if (!connection) return std::string("<no connection>");
         connection->Send(PostHead(boundary, form.size()));
         for (size_t offset = 0; offset < form.size(); offset += 7) {
           connection->Send(form.substr(offset, 7));
           std::this_thread::sleep_for(5ms);
         }
         return connection->ReadToEnd();
       },
       kHeader + "cb(" + kVersionReply + ")"},
      {"announces a body and ends its side after half of it",
       [&](int port) {
         auto connection = Connect(port);
         if (!connection) return std::string("<no connection>");
         connection->Send(PostHead(boundary, form.size()) + form.substr(0, form.size() / 2));
         std::this_thread::sleep_for(200ms);
         shutdown(connection->Socket(), SHUT_WR);
         return connection->ReadToEnd();
       },
       kBodyRefusal},
  };
  for (const auto& test : cases) {
    std::printf("a peer that %s\n", test.name);
    std::fflush(stdout);
    EXPECT_EQ(test.peer(port_), test.expected) << test.name;
    ExpectUnharmed(idleThreads, std::string("after a peer that ") + test.name);
  }
}

}  // namespace
