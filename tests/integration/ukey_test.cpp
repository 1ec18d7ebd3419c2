// The UKey adapter through the staged service over TLS: getProvider
// "tarven_ukey", then invokeProvider calls that reach the test drivers
// (tests/drivers) installed at vendor paths under the install root, and the
// software UKey driver that scripts/stage installs at the "test" vendor's
// path.  The service inherits VASQUILL_SOFTKEY_ASKPASS, a script that gives
// the software driver the PIN of a new key.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "base64/base64.h"
#include "json/json_text.h"
#include "platform/install_root.h"
#include "platform/user.h"
#include "tests/support/service_fixture.h"
#include "tests/support/ukey_ca.h"
#include "tests/support/ukey_support.h"
#include "tools/client/envelope.h"
#include "tools/client/https_client.h"

namespace {

using namespace std::chrono_literals;
using ukey_testing::Call;
using ukey_testing::InstalledDriver;
using ukey_testing::ReadReply;
using ukey_testing::TestDriver;

const std::string kLoaded = "{\"ecode\":0,\"message\":\"成功\"}\n";

std::string Head(int code, const std::string& text) {
  return "{\"ret\":" + std::to_string(code) + "},{\"errormessage\":\"" + text + "\"}";
}
std::string Success(const std::string& items) { return "[" + Head(0, "成功") + "," + items.substr(1); }

Json::Value Object(std::initializer_list<std::pair<const char*, Json::Value>> members) {
  Json::Value object(Json::objectValue);
  for (const auto& [key, value] : members) object[key] = value;
  return object;
}

// The items of an adapter reply, or the reply itself when it is not one.
std::string Items(const std::string& reply) {
  const ukey_testing::Reply parsed = ReadReply(reply);
  return parsed.wellFormed ? parsed.Items() : reply;
}

// The adapter's log file.
std::string AdapterLog() {
  std::ifstream in(platform::RootedPath(platform::HomeDirectory() + "/Library/Caches/Halvorn/TARVEN/ukey_log.sh"));
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The software driver's code for a wait that StopDetectUKey ended.
constexpr int kSoftKeyDetectionStopped = 0x0B00001A;

class UKeyServiceTest : public testing_support::StagedServiceTest {
 protected:
  static void SetUpTestSuite() {
    const std::string askpass = std::string(UKEY_TEST_WORK) + "/askpass.sh";
    std::filesystem::create_directories(UKEY_TEST_WORK);
    std::ofstream(askpass, std::ios::trunc) << "#!/bin/sh\necho 123456\n";
    chmod(askpass.c_str(), 0755);
    setenv("VASQUILL_SOFTKEY_ASKPASS", askpass.c_str(), 1);
    StagedServiceTest::SetUpTestSuite();
  }

  void SetUp() override {
    StagedServiceTest::SetUp();
    ASSERT_EQ(LoadAdapter(), kLoaded);
  }

  // Sends a command as a page does and returns the reply inside the JSONP.
  static std::string Send(const Json::Value& command) {
    std::string response;
    if (!vasquill_client::Exchange(
            port_, vasquill_client::GetRequest("cb", vasquill_client::BuildEnvelope(WriteCompactJson(command))),
            response)) {
      return "<no connection>";
    }
    std::string reply;
    if (!vasquill_client::ParseJsonp(response, "cb", reply)) return "<not JSONP: " + response + ">";
    return reply;
  }
  static std::string LoadAdapter(const Json::Value& type = Json::Value()) {
    Json::Value command = Object({{"pcode", 0}, {"name", "tarven_ukey"}});
    if (!type.isNull()) command["type"] = type;
    return Send(command);
  }
  // invokeProvider with an adapter request; the reply as the service passes it on.
  static std::string Invoke(const std::string& request) { return Send(Object({{"pcode", 1}, {"params", request}})); }
};

TEST_F(UKeyServiceTest, TheAdapterLoadsFromTheComponentDirectory) {
  // Its signature there is type 0; a type-1 check of the same file fails.
  EXPECT_EQ(LoadAdapter(1), "{\"ecode\":-903,\"message\":\"组件库验证平台失败\"}\n");
  EXPECT_EQ(LoadAdapter(0), kLoaded);
  InstalledDriver driver("wq", TestDriver("echo"));
  EXPECT_EQ(Items(Invoke(Call("GetLabel", "wq", Object({{"szSN", "中文 SN"}})))),
            Success("[{\"value\":\"GetLabel(中文 SN)\"}]"));
  // The adapter's log is on from the start and its own: the service's log is
  // off, and loading the adapter started the adapter's file afresh.
  const std::string log = AdapterLog();
  EXPECT_EQ(log.rfind("组件库初始化，日志版本v1.0.0.2\n", 0), 0u) << log.substr(0, 200);
  EXPECT_NE(log.find("]组件库返回1:0(wq)\n"), std::string::npos) << log;
  // Calls that end without the adapter's reply get the service's.
  const struct {
    std::string request;
    int code;
  } cases[] = {
      {"", -907},
      {Call("GetLabel", "wq"), -926},
      {Call("GetLabel", "WQ", Object({{"szSN", "A"}})), -925},
      {Call("GetLabel", "tdr", Object({{"szSN", "A"}})), -924},
  };
  for (const auto& test : cases) {
    Json::Value reply;
    ASSERT_TRUE(ParseStrictJson(Invoke(test.request), reply)) << test.code;
    EXPECT_EQ(reply["ecode"].asInt(), test.code);
    EXPECT_FALSE(reply.isMember("returnvalue"));
  }
  EXPECT_TRUE(service_->Running());
}

TEST_F(UKeyServiceTest, EveryFunctionRunsOnItsThreadInTheService) {
  InstalledDriver driver("wq", TestDriver("echo"));
  for (const ukey_testing::CatalogueCall& call : ukey_testing::Catalogue()) {
    driver.ClearCalls();
    EXPECT_EQ(Items(Invoke(Call(call.function, "wq", call.params))), Success(call.echoItems)) << call.function;
    const auto calls = driver.Calls();
    ASSERT_EQ(calls.size(), 1u) << call.function;
    EXPECT_EQ(calls[0].pid, service_->Pid());
    // The service's main thread is its first thread; connection threads are
    // others.
    if (call.mainThread) {
      EXPECT_EQ(calls[0].tid, service_->Pid()) << call.function;
    } else {
      EXPECT_NE(calls[0].tid, service_->Pid()) << call.function;
    }
  }
}

TEST_F(UKeyServiceTest, DriverFailuresAndMissingExports) {
  InstalledDriver echo("wq", TestDriver("echo"));
  InstalledDriver bare("ft2G", TestDriver("bare"));
  echo.Script("Sign 10\n");
  const Json::Value sign = ukey_testing::CatalogueEntry("Sign").params;
  EXPECT_EQ(Items(Invoke(Call("Sign", "wq", sign))), "[" + Head(10, "driver error 10") + ",{\"value\":true}]");
  EXPECT_EQ(Items(Invoke(Call("Sign", "ft2G", sign))), "[" + Head(-921, "uk接口错误") + ",{\"value\":true}]");
  EXPECT_EQ(Items(Invoke(Call("", "ft2G"))), "[" + Head(-927, "uk方法为空") + ",{\"value\":true}]");
}

// The text of the only result item of a successful call, or a note.
std::string Value(const std::string& reply) {
  const ukey_testing::Reply parsed = ReadReply(reply);
  if (!parsed.wellFormed || parsed.items.size() != 3 || parsed.items[0]["ret"] != 0) return "<failed: " + reply + ">";
  return parsed.items[2]["value"].asString();
}

// A serial number of its own for each run.
std::string FreshSerial(const char* prefix) { return prefix + std::to_string(getpid()); }

// The store file of a virtual key of the software driver.
std::string SoftKeyStore(const std::string& serial) {
  return platform::RootedPath(platform::HomeDirectory() + "/.local/share/vasquill-softkey/" + serial + ".key");
}

// Removes a virtual key when the test ends.
struct RemovedAtEnd {
  std::string serial;
  ~RemovedAtEnd() {
    std::error_code error;
    std::filesystem::remove(SoftKeyStore(serial), error);
  }
};

// Makes a virtual key with a signing pair and a certificate of a test CA;
// the certificate, or "" after reporting the failure.
std::string SoftKeyWithCertificate(const std::string& serial,
                                   const std::function<std::string(const std::string&)>& invoke) {
  if (const std::string reset = Items(invoke(Call("InitUKey", "test", Object({{"szSN", serial}}))));
      reset != Success("[{\"value\":true}]")) {
    ADD_FAILURE() << "InitUKey: " << reset;
    return std::string();
  }
  const std::string request = Value(invoke(Call(
      "GenerateCertRequest", "test", Object({{"szSN", serial}, {"szRequestInfo", "CN=Alice,O=Example Bank,C=CN"}}))));
  ukey_testing::TestCa ca;
  std::string error;
  const std::string certificate = ca.Issue(request, 30, &error);
  if (certificate.empty()) {
    ADD_FAILURE() << error << "\n" << request;
    return std::string();
  }
  const std::string imported =
      Items(invoke(Call("ImportX509Cert", "test", Object({{"szSN", serial}, {"szCert", certificate}}))));
  if (imported != Success("[{\"value\":true}]")) {
    ADD_FAILURE() << "ImportX509Cert: " << imported;
    return std::string();
  }
  return certificate;
}

// Signing requests (main thread) and caller-thread requests for three
// vendors at once, while a key-event wait holds a connection: every answer
// comes from the driver of its own vendor, main-thread calls run on the main
// thread, and the software driver's signatures verify.
TEST_F(UKeyServiceTest, ConcurrentSigningAndCallerThreadRequests) {
  InstalledDriver echo("wq", TestDriver("echo"));
  InstalledDriver silent("ft2G", TestDriver("silent"));
  echo.Script("delay 150\nWaitForKeyEvent wait\n");
  silent.Script("delay 150\n");
  const std::string serial = FreshSerial("VQCON");
  const RemovedAtEnd removed{serial};
  const std::string certificate = SoftKeyWithCertificate(serial, [](const std::string& call) { return Invoke(call); });
  ASSERT_FALSE(certificate.empty());
  auto waiting = std::async(std::launch::async, [] { return Invoke(Call("WaitForKeyEvent", "wq")); });

  const std::string data = "concurrent data";
  const Json::Value sign = Object({{"szSN", serial}, {"nHashType", 1}, {"nFlag", 0}, {"szData", data}});
  const Json::Value cert = Object({{"szSN", serial}, {"certType", 1}, {"keyType", 1}});
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 18; ++i) {
    threads.emplace_back([&, i] {
      const bool signing = i % 2 == 0;
      const std::string vendor = i % 6 < 2 ? "wq" : i % 6 < 4 ? "ft2G" : "test";
      const std::string reply = Invoke(Call(signing ? "Sign" : "GetCert", vendor, signing ? sign : cert));
      bool right = false;
      if (vendor == "test") {
        const std::string value = Value(reply);
        right = signing ? ukey_testing::VerifySm2Signature(certificate, data, value) : value == certificate;
      } else {
        std::string value = "\"\"";
        if (vendor == "wq") {
          value = signing ? "\"Sign(" + serial + ",1,0," + data + ",) size=1048576 zeroed=1\""
                          : "\"GetCert(" + serial + ",1,1)\"";
        }
        right = Items(reply) == Success("[{\"value\":" + value + "}]");
      }
      if (!right) {
        ++wrong;
        ADD_FAILURE() << vendor << ": " << Items(reply);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(waiting.wait_for(0ms), std::future_status::timeout);
  EXPECT_EQ(Items(Invoke(Call("StopDetectUKey", "wq"))), Success("[{\"value\":true}]"));
  ASSERT_EQ(waiting.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(Items(waiting.get()), Success("[{\"value\":2},{\"value\":\"stopped\"}]"));
  for (const InstalledDriver* driver : {&echo, &silent}) {
    for (const auto& call : driver->Calls()) {
      EXPECT_EQ(call.tid == service_->Pid(), call.function == "Sign") << call.function;
    }
  }
  EXPECT_TRUE(service_->Running()) << service_->Output();
}

// ---- The software UKey driver ------------------------------------------------

// How often the adapter has logged the start of a WaitForKeyEvent call.
std::size_t WaitsStarted() {
  const std::string log = AdapterLog();
  std::size_t count = 0;
  for (std::size_t at = log.find("尝试调用驱动库 WaitForKeyEvent(test)"); at != std::string::npos;
       at = log.find("尝试调用驱动库 WaitForKeyEvent(test)", at + 1)) {
    ++count;
  }
  return count;
}

// Starts WaitForKeyEvent on a connection of its own and returns once the
// driver waits.
std::future<std::string> StartWait(const std::function<std::string(const std::string&)>& invoke) {
  const std::size_t before = WaitsStarted();
  auto waiting = std::async(std::launch::async, [invoke] { return invoke(Call("WaitForKeyEvent", "test")); });
  for (int i = 0; i < 500 && WaitsStarted() == before; ++i) std::this_thread::sleep_for(10ms);
  // The driver notes the keys present before it waits.
  std::this_thread::sleep_for(300ms);
  return waiting;
}

TEST_F(UKeyServiceTest, SoftKeyRequestCertificateImportAndSign) {
  ASSERT_TRUE(std::filesystem::exists(ukey_testing::VendorPath("test"))) << "the software UKey driver is not staged";
  const std::string serial = FreshSerial("VQE2E");
  const RemovedAtEnd removed{serial};
  const Json::Value sn = Object({{"szSN", serial}});
  ASSERT_EQ(Items(Invoke(Call("InitUKey", "test", sn))), Success("[{\"value\":true}]"));
  EXPECT_TRUE(std::filesystem::exists(SoftKeyStore(serial)));
  EXPECT_NE(("," + Value(Invoke(Call("GetPrintNumber", "test"))) + ",").find("," + serial + ","), std::string::npos);

  const std::string request = Value(Invoke(Call(
      "GenerateCertRequest", "test", Object({{"szSN", serial}, {"szRequestInfo", "CN=Alice,O=Example Bank,C=CN"}}))));
  ukey_testing::TestCa ca;
  ASSERT_TRUE(ca.Ready());
  std::string error;
  const std::string certificate = ca.Issue(request, 30, &error);
  ASSERT_FALSE(certificate.empty()) << error << "\n" << request;
  EXPECT_EQ(ukey_testing::CertificateSubject(certificate), "C=CN,O=Example Bank,CN=Alice");

  ASSERT_EQ(Items(Invoke(Call("ImportX509Cert", "test", Object({{"szSN", serial}, {"szCert", certificate}})))),
            Success("[{\"value\":true}]"));
  const Json::Value signing = Object({{"szSN", serial}, {"certType", 1}, {"keyType", 1}});
  EXPECT_EQ(Value(Invoke(Call("GetCert", "test", signing))), certificate);
  const std::string remaining = Items(Invoke(Call("GetRemainValidityOfCert", "test", signing)));
  EXPECT_TRUE(remaining == Success("[{\"value\":29}]") || remaining == Success("[{\"value\":30}]")) << remaining;

  const std::string data = "转账 100.00 元 to Bob, ref 4711";
  const std::string signature = Value(Invoke(
      Call("Sign", "test",
           Object({{"szSN", serial}, {"nHashType", 1}, {"nFlag", 0}, {"szData", data}, {"szWarningMsg", "请确认"}}))));
  EXPECT_TRUE(ukey_testing::VerifySm2Signature(certificate, data, signature, &error)) << error << " " << signature;
  EXPECT_FALSE(ukey_testing::VerifySm2Signature(certificate, data + ".", signature));
}

TEST_F(UKeyServiceTest, SoftKeyEventsEndByInsertionAndByStop) {
  ASSERT_TRUE(std::filesystem::exists(ukey_testing::VendorPath("test"))) << "the software UKey driver is not staged";
  auto invoke = [](const std::string& request) { return Invoke(request); };

  // A key store that appears is an inserted key.
  const std::string serial = FreshSerial("VQEVT");
  const RemovedAtEnd removed{serial};
  auto inserted = StartWait(invoke);
  EXPECT_EQ(inserted.wait_for(0ms), std::future_status::timeout);
  ASSERT_EQ(Items(Invoke(Call("InitUKey", "test", Object({{"szSN", serial}})))), Success("[{\"value\":true}]"));
  ASSERT_EQ(inserted.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(Items(inserted.get()), Success("[{\"value\":1},{\"value\":\"" + serial + "\"}]"));

  // StopDetectUKey from another connection ends a wait.
  auto stopped = StartWait(invoke);
  EXPECT_EQ(stopped.wait_for(0ms), std::future_status::timeout);
  EXPECT_EQ(Items(Invoke(Call("StopDetectUKey", "test"))), Success("[{\"value\":true}]"));
  ASSERT_EQ(stopped.wait_for(20s), std::future_status::ready);
  const ukey_testing::Reply reply = ReadReply(stopped.get());
  ASSERT_TRUE(reply.wellFormed);
  EXPECT_EQ(reply.items[0]["ret"], kSoftKeyDetectionStopped) << reply.Items();
  EXPECT_EQ(reply.items.size(), 3u) << reply.Items();
}

}  // namespace
