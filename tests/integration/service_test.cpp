// The staged service over real TLS on loopback: framing, refusals, envelope,
// ports and the behaviour of the exchange under slow or stalled peers.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "json/json_text.h"
#include "logfile/logfile.h"
#include "platform/login_items.h"
#include "tests/support/service_fixture.h"
#include "tests/support/service_process.h"
#include "tests/support/service_requests.h"
#include "tools/client/envelope.h"
#include "tools/client/https_client.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Connect;
using testing_support::Form;
using testing_support::ListeningOn;
using testing_support::PortHolder;
using testing_support::ServiceProcess;
using vasquill_client::BuildEnvelope;
using vasquill_client::GetRequest;
using vasquill_client::PostRequest;
using vasquill_client::TlsConnection;

const std::string kHeader = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
const std::string kRefusal = "HTTP/1.1 400 Bad Request\r\n\r\n";
const std::string kBodyRefusal = "HTTP/1.1 400 Bad Request\r\n\r\nError";
const std::string kVersionReply = "{\"ecode\":0,\"message\":\"成功\",\"version\":\"1.0.0.0\"}\n";
const std::string kNoCommandReply = "{\"ecode\":-2,\"message\":\"未定义错误码\"}\n";

std::string Exchange(int port, const std::string& request) {
  std::string response;
  EXPECT_TRUE(vasquill_client::Exchange(port, request, response)) << "no TLS connection to port " << port;
  return response;
}

std::string PostHead(const std::string& boundary, const std::string& contentLength) {
  return "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; boundary=" + boundary +
         "\r\nContent-Length: " + contentLength + "\r\n\r\n";
}

using ServiceTest = testing_support::StagedServiceTest;

TEST_F(ServiceTest, ListensOnLoopbackOnly) {
  std::string address;
  ASSERT_TRUE(ListeningOn(port_, &address));
  EXPECT_EQ(address, "0100007F");  // 127.0.0.1 in /proc/net/tcp's byte order
}

TEST_F(ServiceTest, PreflightIsTheFixedReplyAndTheConnectionCloses) {
  const std::string response =
      Exchange(port_, "OPTIONS /any/path?x=1 HTTP/1.1\r\nOrigin: https://bank.example\r\n"
                      "Access-Control-Request-Method: GET\r\n\r\n");
  EXPECT_EQ(response.size(), 364u);
  EXPECT_EQ(response,
            "HTTP/1.1 200 OK \r\nAccess-Control-Allow-Private-Network: true \r\nAccess-Control-Allow-Origin: * \r\n"
            "Access-Control-Allow-Methods: GET, POST, PUT \r\nAccess-Control-Allow-Headers: X-Custom-Header \r\n"
            "Content-Type: text/html; charset=utf-8 \r\nContent-Encoding: gzip \r\nContent-Length: 0 \r\n"
            "Keep-Alive: timeout=2, max=100 \r\nConnection: Keep-Alive \r\nContent-Type: text/plain \r\n\r\n");
}

TEST_F(ServiceTest, GetAnswersJsonpByteForByte) {
  const std::string response = Exchange(port_, GetRequest("cb", BuildEnvelope("{\"pcode\":4}")));
  EXPECT_EQ(kHeader.size(), 77u);
  EXPECT_EQ(response, kHeader + "cb(" + kVersionReply + ")");
}

TEST_F(ServiceTest, RefusalsOfMethodsAndMissingCallbacks) {
  const std::string envelope = vasquill_client::EncodeQueryValue(BuildEnvelope("{\"pcode\":4}"));
  const struct {
    const char* name;
    std::string request;
  } cases[] = {
      {"GET without jsoncallback", "GET /?str=" + envelope + " HTTP/1.1\r\n\r\n"},
      {"GET with an empty jsoncallback", "GET /?jsoncallback=&str=" + envelope + " HTTP/1.1\r\n\r\n"},
      {"PUT", "PUT /?jsoncallback=cb&str=" + envelope + " HTTP/1.1\r\nContent-Length: 0\r\n\r\n"},
      {"HEAD", "HEAD / HTTP/1.1\r\n\r\n"},
      {"lower-case get", "get /?jsoncallback=cb HTTP/1.1\r\n\r\n"},
      {"request line without spaces", "GARBAGE\r\n\r\n"},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(Exchange(port_, test.request), kRefusal) << test.name;
  }
}

TEST_F(ServiceTest, FailedEnvelopeStillGetsJsonpFraming) {
  // A check block made for another rankey.
  Json::Value forged;
  ASSERT_TRUE(ParseStrictJson(BuildEnvelope("{\"pcode\":4}", "first-rankey-of-24-bytes"), forged));
  Json::Value other;
  ASSERT_TRUE(ParseStrictJson(BuildEnvelope("{\"pcode\":4}", "other-rankey-of-24-bytes"), other));
  forged["datab"] = other["datab"];
  const struct {
    const char* name;
    std::string envelope;
  } cases[] = {
      {"check block of another rankey", WriteCompactJson(forged)},
      {"JSON without the members", "{\"pcode\":4}"},
      {"short rankey", BuildEnvelope("{\"pcode\":4}", "sixteen-bytes-16")},
      {"array root", "[\"a\",\"b\"]"},
      {"members that are not strings", "{\"rankey\":1,\"datab\":2,\"datac\":3}"},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(Exchange(port_, GetRequest("cb", test.envelope)), kHeader + "cb(" + kNoCommandReply + ")") << test.name;
  }
}

TEST_F(ServiceTest, TextThatIsNotJsonReachesTheDispatcherUnwrapped) {
  EXPECT_EQ(Exchange(port_, "GET /?jsoncallback=f&str=splice HTTP/1.1\r\n\r\n"),
            kHeader + "f({\"ecode\":0,\"message\":\"成功\"}\n)");
}

TEST_F(ServiceTest, DeeplyNestedCommandIsAParseFailure) {
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  const std::string notJson = "{\"ecode\":-913,\"message\":\"传入Json参数错误（缺少functionid和parameters）\"}\n";
  EXPECT_EQ(Exchange(port_, GetRequest("cb", BuildEnvelope(deep))), kHeader + "cb(" + notJson + ")");
  EXPECT_EQ(Exchange(port_, GetRequest("cb", deep)), kHeader + "cb(" + notJson + ")");
  EXPECT_TRUE(service_->Running());
  EXPECT_EQ(Exchange(port_, GetRequest("cb", BuildEnvelope("{\"pcode\":4}"))), kHeader + "cb(" + kVersionReply + ")");
}

TEST_F(ServiceTest, MultipartPostWithAndWithoutCom) {
  const std::string envelope = BuildEnvelope("{\"errcode\":-901,\"pcode\":5}");
  EXPECT_EQ(Exchange(port_, PostRequest("cb", envelope)),
            kHeader + "cb({\"ecode\":0,\"errormessage\":\"组件库不存在\"}\n)");
  EXPECT_EQ(Exchange(port_, PostRequest("cb", envelope, "")), kHeader + "cb()");

  const std::string urlEncoded = "jsoncallback=cb&str=x&com=1";
  EXPECT_EQ(Exchange(port_, "POST / HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                std::to_string(urlEncoded.size()) + "\r\n\r\n" + urlEncoded),
            kHeader + "()");
}

TEST_F(ServiceTest, PostBodyRefusals) {
  const std::string boundary = "XyZ";
  const std::string body = Form(boundary, {{"jsoncallback", "cb"}, {"str", "s"}, {"com", "1"}, {"a", "1"}, {"b", "2"}});
  const struct {
    const char* name;
    std::string request;
  } cases[] = {
      {"empty body", PostHead(boundary, "0")},
      {"negative length", PostHead(boundary, "-5") + body},
      {"length with letters", PostHead(boundary, "12ab") + body},
      {"length beyond an int", PostHead(boundary, "4294967396") + body},
      {"no length at all", "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=XyZ\r\n\r\n" + body},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(Exchange(port_, test.request), kBodyRefusal) << test.name;
  }
}

TEST_F(ServiceTest, PostBodyInTwoReads) {
  const std::string boundary = "b0undary";
  const std::string command = BuildEnvelope("{\"pcode\":4}");
  const std::string body = Form(boundary, {{"jsoncallback", "cb"},
                                           {"str", vasquill_client::EncodeQueryValue(command)},
                                           {"com", "1"},
                                           {"x", "1"},
                                           {"y", "2"}});
  const size_t firstPart = body.size() * 6 / 10;

  // The rest arrives later: answered as usual.
  auto connection = Connect(port_);
  ASSERT_TRUE(connection);
  connection->Send(PostHead(boundary, std::to_string(body.size())) + body.substr(0, firstPart));
  std::this_thread::sleep_for(200ms);
  connection->Send(body.substr(firstPart));
  EXPECT_EQ(connection->ReadToEnd(), kHeader + "cb(" + kVersionReply + ")");

  // Ten bytes more than announced in the later read: refused.
  connection = Connect(port_);
  ASSERT_TRUE(connection);
  connection->Send(PostHead(boundary, std::to_string(body.size())) + body.substr(0, firstPart));
  std::this_thread::sleep_for(200ms);
  connection->Send(body.substr(firstPart) + "0123456789");
  EXPECT_EQ(connection->ReadToEnd(), kBodyRefusal);

  // The peer ends its side before the body is complete, with or without a
  // close notification: refused.
  for (bool notify : {true, false}) {
    connection = Connect(port_);
    ASSERT_TRUE(connection);
    connection->Send(PostHead(boundary, std::to_string(body.size())) + body.substr(0, firstPart));
    std::this_thread::sleep_for(200ms);
    if (notify) {
      SSL_shutdown(connection->Session());
    } else {
      shutdown(connection->Socket(), SHUT_WR);
    }
    EXPECT_EQ(connection->ReadToEnd(), kBodyRefusal) << (notify ? "close notification" : "plain end of stream");
  }
}

TEST_F(ServiceTest, HeaderBlockInSmallReads) {
  const std::string request = GetRequest("cb", BuildEnvelope("{\"pcode\":4}"));
  const std::string expected = kHeader + "cb(" + kVersionReply + ")";

  // First read of one byte, then the rest.
  auto connection = Connect(port_);
  ASSERT_TRUE(connection);
  connection->Send(request.substr(0, 1));
  std::this_thread::sleep_for(100ms);
  connection->Send(request.substr(1));
  EXPECT_EQ(connection->ReadToEnd(), expected);

  // The blank line completed by a read of one byte is noticed at once.
  connection = Connect(port_);
  ASSERT_TRUE(connection);
  connection->Send(request.substr(0, request.size() - 1));
  std::this_thread::sleep_for(100ms);
  const auto start = std::chrono::steady_clock::now();
  connection->Send(request.substr(request.size() - 1));
  EXPECT_EQ(connection->ReadToEnd(), expected);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(ServiceTest, OnlyTheFirstOfPipelinedRequestsIsAnswered) {
  const std::string request = GetRequest("cb", BuildEnvelope("{\"pcode\":4}"));
  EXPECT_EQ(Exchange(port_, request + request), kHeader + "cb(" + kVersionReply + ")");
}

TEST_F(ServiceTest, LongResponsesGoOutInPiecesOf15000Bytes) {
  // The callback name is echoed, so its length sets the response's length.
  const std::string fixed = kHeader + "(" + kVersionReply + ")";
  const struct {
    size_t total;
    std::vector<size_t> pieces;
  } cases[] = {
      {15000, {15000}},
      {15001, {15000, 1}},
      {30000, {15000, 15000}},
      {31234, {15000, 15000, 1234}},
  };
  for (const auto& test : cases) {
    const std::string callback(test.total - fixed.size(), 'c');
    auto connection = Connect(port_);
    ASSERT_TRUE(connection);
    connection->Send(GetRequest(callback, BuildEnvelope("{\"pcode\":4}")));
    // Each TLS record read comes from one write of the service.
    std::vector<size_t> pieces;
    std::string response;
    char piece[32768];
    for (int count; (count = SSL_read(connection->Session(), piece, sizeof piece)) > 0;) {
      pieces.push_back(static_cast<size_t>(count));
      response.append(piece, static_cast<size_t>(count));
    }
    EXPECT_EQ(response, kHeader + callback + "(" + kVersionReply + ")") << test.total;
    EXPECT_EQ(pieces, test.pieces) << test.total;
  }
}

TEST_F(ServiceTest, HeaderBlockWithoutBlankLineIsClosedWithoutReply) {
  auto connection = Connect(port_);
  ASSERT_TRUE(connection);
  connection->Send("GET /?jsoncallback=cb HTTP/1.1\r\nX-Filler: " + std::string(2 * 1024 * 1024, 'a'));
  EXPECT_EQ(connection->ReadToEnd(), "");
  EXPECT_TRUE(service_->Running());
}

// Once the service has answered and closed, the client's writes fail; the
// SIGPIPE they raise does not end the client.
TEST_F(ServiceTest, ClientWritesAfterTheCloseFailWithoutEndingTheClient) {
  auto connection = Connect(port_);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(connection->Send("OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  EXPECT_NE(connection->ReadToEnd(), "");
  bool failed = false;
  for (int i = 0; i < 20 && !failed; ++i) failed = !connection->Send(std::string(65536, 'x'));
  EXPECT_TRUE(failed);
}

TEST_F(ServiceTest, StalledPeersDoNotHoldUpOthers) {
  // One peer that never starts its handshake, one that never sends a request.
  int silent = vasquill_client::ConnectLoopback(port_, 5s);
  ASSERT_GE(silent, 0);
  auto idle = Connect(port_);
  ASSERT_TRUE(idle);
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(port_, GetRequest("cb", BuildEnvelope("{\"pcode\":4}"))), kHeader + "cb(" + kVersionReply + ")");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  }
  close(silent);
}

TEST_F(ServiceTest, StalledHandshakeIsClosedAfterItsTimeLimit) {
  int silent = vasquill_client::ConnectLoopback(port_, 20s);
  ASSERT_GE(silent, 0);
  const auto start = std::chrono::steady_clock::now();
  char byte;
  EXPECT_EQ(recv(silent, &byte, 1, 0), 0);  // the service closed it
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GT(waited, 8s);
  EXPECT_LT(waited, 13s);
  close(silent);
}

TEST_F(ServiceTest, ManyRequestsInParallel) {
  constexpr int kClients = 24;
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&answered, i] {
      const std::string callback = "cb" + std::to_string(i);
      const std::string command = i % 2 ? "{\"pcode\":4}" : "{\"errcode\":-902,\"pcode\":5}";
      const std::string expected = i % 2 ? kVersionReply : "{\"ecode\":0,\"errormessage\":\"加载组件库失败\"}\n";
      std::string response;
      const std::string request = i % 3 ? GetRequest(callback, BuildEnvelope(command))
                                        : PostRequest(callback, BuildEnvelope(command));
      if (vasquill_client::Exchange(port_, request, response) && response == kHeader + callback + "(" + expected + ")") {
        ++answered;
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(answered.load(), kClients);
}

TEST_F(ServiceTest, PostBodyIsLoggedWhileTheLogIsOn) {
  // The service appends only to a log file that already exists.
  std::filesystem::create_directories(LogDirectory());
  std::ofstream(LogFilePath(), std::ios::trunc) << "";
  const std::string on = BuildEnvelope("{\"Log\":true,\"pcode\":7}");
  const std::string off = BuildEnvelope("{\"Log\":false,\"pcode\":7}");
  EXPECT_EQ(Exchange(port_, GetRequest("cb", on)), kHeader + "cb({\"ecode\":0,\"message\":\"成功\"}\n)");
  const std::string post = PostRequest("cb", BuildEnvelope("{\"pcode\":8}"));
  EXPECT_EQ(Exchange(port_, post), kHeader + "cb({\"Log\":true,\"ecode\":0,\"message\":\"成功\"}\n)");
  Exchange(port_, GetRequest("cb", off));

  std::ifstream log(LogFilePath());
  std::string contents((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  const std::string body = post.substr(post.find("\r\n\r\n") + 4);
  EXPECT_NE(contents.find("]strPostData：" + body + "\n"), std::string::npos) << contents;
  std::filesystem::remove(LogFilePath());
}

// Ports and start-up, each with a service of its own.

TEST(ServicePorts, FallsBackWhenThePortIsHeld) {
  PortHolder holder(5110);
  ASSERT_TRUE(holder.Held()) << "port 5110 is busy on this machine";
  ServiceProcess service;
  const int port = service.WaitForPort();
  EXPECT_EQ(port, 5111);
  std::string response;
  ASSERT_TRUE(vasquill_client::Exchange(port, GetRequest("cb", BuildEnvelope("{\"pcode\":4}")), response));
  EXPECT_EQ(response, kHeader + "cb(" + kVersionReply + ")");
}

TEST(ServicePorts, AllPortsHeldLeavesTheProcessRunningWithoutListener) {
  std::vector<std::unique_ptr<PortHolder>> holders;
  for (int port = 5110; port <= 5114; ++port) {
    holders.push_back(std::make_unique<PortHolder>(port));
    ASSERT_TRUE(holders.back()->Held()) << "port " << port << " is busy on this machine";
  }
  ServiceProcess service;
  EXPECT_EQ(service.WaitForPort(2s), 0);
  EXPECT_TRUE(service.Running());
  EXPECT_EQ(service.Output().find("建立端口成功"), std::string::npos);
}

TEST(ServicePorts, FailedAcceptsAreRetried) {
  // With few descriptors, accept fails while stalled peers hold them all.
  ServiceProcess service(24);
  const int port = service.WaitForPort();
  ASSERT_NE(port, 0) << service.Output();
  std::vector<int> stalled;
  for (int i = 0; i < 36; ++i) {
    int fd = vasquill_client::ConnectLoopback(port, 300ms);
    if (fd >= 0) stalled.push_back(fd);
  }
  std::this_thread::sleep_for(1s);
  for (int fd : stalled) close(fd);
  EXPECT_TRUE(service.Running());
  std::string response;
  bool answered = false;
  for (int attempt = 0; attempt < 20 && !answered; ++attempt) {
    answered = vasquill_client::Exchange(port, GetRequest("cb", BuildEnvelope("{\"pcode\":4}")), response) &&
               response == kHeader + "cb(" + kVersionReply + ")";
    if (!answered) std::this_thread::sleep_for(500ms);
  }
  EXPECT_TRUE(answered);
}

TEST(ServiceStart, RegistersItsLoginItem) {
  const std::string entry = platform::AutostartDirectory() + "/Vasquill.desktop";
  std::filesystem::remove(entry);
  ServiceProcess service;
  ASSERT_NE(service.WaitForPort(), 0);
  std::ifstream in(entry);
  std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(contents.find("Exec=\"" + testing_support::ServiceExecutable() + "\"\n"), std::string::npos) << contents;
}

}  // namespace
