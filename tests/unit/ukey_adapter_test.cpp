// The UKey adapter library loaded as the service loads it, calling the test
// drivers (tests/drivers) installed at vendor paths under the install root.
// Like the service, this program runs a main queue on its main thread and
// exports its entry, so the driver calls that need the main thread get it;
// the tests run on a second thread.
//
// A loaded driver stays loaded for the life of the process, so each case
// installs the drivers it needs and runs in a process of its own (ctest runs
// them so); a case that finds a vendor's driver already loaded skips.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
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
#include "platform/main_queue.h"
#include "platform/user.h"
#include "tests/support/ukey_support.h"

namespace {

using namespace std::chrono_literals;
using ukey_testing::Call;
using ukey_testing::InstalledDriver;
using ukey_testing::ReadReply;
using ukey_testing::Request;
using ukey_testing::Signature;
using ukey_testing::TestDriver;
using ukey_testing::VendorPath;

using InitializeEntry = int (*)();
using InvokeEntry = int (*)(std::string request, std::string& reply);
using FinalizeEntry = int (*)();

struct Adapter {
  void* library = nullptr;
  InitializeEntry initialize = nullptr;
  InvokeEntry invoke = nullptr;
  FinalizeEntry finalize = nullptr;
};

const Adapter& TheAdapter() {
  static const Adapter adapter = [] {
    Adapter loaded;
    loaded.library = dlopen(UKEY_ADAPTER, RTLD_LAZY | RTLD_LOCAL);
    if (loaded.library == nullptr) return loaded;
    loaded.initialize = reinterpret_cast<InitializeEntry>(dlsym(loaded.library, "Initialize"));
    loaded.invoke = reinterpret_cast<InvokeEntry>(dlsym(loaded.library, "Invoke"));
    loaded.finalize = reinterpret_cast<FinalizeEntry>(dlsym(loaded.library, "Finalize"));
    return loaded;
  }();
  return adapter;
}

struct Answer {
  int code = 0;
  std::string reply;
};

Answer Invoke(const std::string& request, const std::string& before = "untouched") {
  Answer answer;
  answer.reply = before;
  answer.code = TheAdapter().invoke(request, answer.reply);
  return answer;
}

// The items of a reply as compact text, or a note on what is wrong with it.
std::string Items(const Answer& answer) {
  const ukey_testing::Reply reply = ReadReply(answer.reply);
  if (!reply.wellFormed) return "<malformed reply: " + answer.reply + ">";
  return reply.Items();
}

std::string Head(int code, const std::string& text) {
  return "{\"ret\":" + std::to_string(code) + "},{\"errormessage\":\"" + text + "\"}";
}
std::string Success(const std::string& items) { return "[" + Head(0, "成功") + "," + items.substr(1); }
std::string Failure(int code, const std::string& text) { return "[" + Head(code, text) + ",{\"value\":true}]"; }

long ThreadId() { return syscall(SYS_gettid); }

bool Loaded(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

Json::Value Object(std::initializer_list<std::pair<const char*, Json::Value>> members) {
  Json::Value object(Json::objectValue);
  for (const auto& [key, value] : members) object[key] = value;
  return object;
}

class UKeyAdapter : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(TheAdapter().invoke, nullptr) << dlerror();
    // Never install anything outside the build's own install root.
    if (platform::InstallRoot().empty()) GTEST_SKIP() << "needs a build with VASQUILL_ROOT";
    for (const char* vendor : {"wq", "tdr", "ft2G"}) {
      if (Loaded(VendorPath(vendor))) GTEST_SKIP() << "a driver is already loaded; run each case on its own";
    }
  }
};

// ---- Requests that end before a driver is called ----------------------------

TEST_F(UKeyAdapter, EmptyRequestLeavesTheReplyAsItWas) {
  const Answer answer = Invoke("", "earlier content");
  EXPECT_EQ(answer.code, -907);
  EXPECT_EQ(answer.reply, "earlier content");
}

TEST_F(UKeyAdapter, RequestsThatEndWithoutAReply) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += '[';
  const struct {
    const char* what;
    std::string request;
    int code;
  } cases[] = {
      {"not JSON", Base64::encode64("not json"), -915},
      {"not Base64 at all", "%%%***", -915},
      {"nested beyond the reader's limit", Base64::encode64(deep), -915},
      {"a string root", Base64::encode64("\"GetLabel\""), -915},
      {"an array root", Base64::encode64("[{\"functionid\":\"GetLabel\"}]"), -913},
      {"no functionid", Base64::encode64("{\"parameters\":[{\"vendor\":\"wq\"}]}"), -913},
      {"functionid not a string", Base64::encode64("{\"functionid\":5,\"parameters\":[{\"vendor\":\"wq\"}]}"), -913},
      {"parameters an object", Base64::encode64("{\"functionid\":\"GetLabel\",\"parameters\":{\"vendor\":\"wq\"}}"),
       -913},
      {"no parameters", Base64::encode64("{\"functionid\":\"GetLabel\"}"), -913},
      {"parameters []", Request("GetLabel", Json::arrayValue), -930},
      {"parameters [{}]", Base64::encode64("{\"functionid\":\"GetLabel\",\"parameters\":[{}]}"), -930},
      {"[{},{vendor}]", Base64::encode64("{\"functionid\":\"GetLabel\",\"parameters\":[{},{\"vendor\":\"wq\"}]}"),
       -929},
      {"[{vendor},{}]", Base64::encode64("{\"functionid\":\"GetLabel\",\"parameters\":[{\"vendor\":\"wq\"},{}]}"),
       -929},
      {"[{vendor},{},{szSN}]",
       Base64::encode64("{\"functionid\":\"GetLabel\",\"parameters\":[{\"vendor\":\"wq\"},{},{\"szSN\":\"A\"}]}"),
       -929},
      {"a number among the parameters",
       Base64::encode64("{\"functionid\":\"GetLabel\",\"parameters\":[{\"vendor\":\"wq\"},5]}"), -929},
      {"vendor a number", Base64::encode64("{\"functionid\":\"GetLabel\",\"parameters\":[{\"vendor\":5}]}"), -930},
      {"vendor null", Base64::encode64("{\"functionid\":\"GetLabel\",\"parameters\":[{\"vendor\":null}]}"), -930},
      {"vendor in the wrong case", Call("GetLabel", "WQ"), -925},
      {"vendor with a space", Call("GetLabel", "wq "), -925},
      {"empty vendor", Call("GetLabel", ""), -925},
      {"no driver installed", Call("GetLabel", "tdr"), -924},
  };
  for (const auto& test : cases) {
    const Answer answer = Invoke(test.request);
    EXPECT_EQ(answer.code, test.code) << test.what;
    EXPECT_EQ(answer.reply, "untouched") << test.what;
  }
}

// ---- Merging the parameters ---------------------------------------------------

TEST_F(UKeyAdapter, ParametersSpreadOverObjectsAreMerged) {
  InstalledDriver driver("wq", TestDriver("echo"));
  auto label = [](const std::string& parameters) {
    return Items(Invoke(Base64::encode64("{\"functionid\":\"GetLabel\",\"parameters\":" + parameters + "}")));
  };
  const std::string a = Success("[{\"value\":\"GetLabel(A)\"}]");
  EXPECT_EQ(label("[{\"vendor\":\"wq\",\"szSN\":\"A\"}]"), a);
  EXPECT_EQ(label("[{\"vendor\":\"wq\"},{\"szSN\":\"A\"}]"), a);
  EXPECT_EQ(label("[{\"szSN\":\"A\"},{\"vendor\":\"wq\"}]"), a);
  // The later of two equal names wins, for the vendor too.
  EXPECT_EQ(label("[{\"vendor\":\"wq\",\"szSN\":\"B\"},{\"szSN\":\"A\"}]"), a);
  EXPECT_EQ(label("[{\"vendor\":\"tdr\",\"szSN\":\"A\"},{\"vendor\":\"wq\"}]"), a);
  // Other top-level members play no part.
  EXPECT_EQ(Items(Invoke(Base64::encode64(
                "{\"extra\":[1],\"functionid\":\"GetLabel\",\"parameters\":[{\"vendor\":\"wq\",\"szSN\":\"A\"}]}"))),
            a);
}

// ---- Admission of the driver ------------------------------------------------------

TEST_F(UKeyAdapter, DriversThatFailTheirChecksAreNeverLoaded) {
  const struct {
    const char* what;
    Signature signature;
  } cases[] = {
      {"no signature file", Signature::kNone},
      {"a signature of other bytes", Signature::kOfOtherBytes},
      {"a type-0 signature", Signature::kType0},
  };
  for (const auto& test : cases) {
    InstalledDriver driver("wq", TestDriver("echo"), test.signature);
    if (test.signature == Signature::kType0) {
      ASSERT_TRUE(std::filesystem::exists(driver.Path() + ".sig"));
    }
    const Answer answer = Invoke(Call("GetLabel", "wq", Object({{"szSN", "A"}})));
    EXPECT_EQ(answer.code, -904) << test.what;
    EXPECT_EQ(answer.reply, "untouched") << test.what;
    EXPECT_FALSE(Loaded(driver.Path())) << test.what;
    EXPECT_TRUE(driver.Calls().empty()) << test.what;
  }
  // A signed file that is not a library.
  {
    const std::string path = VendorPath("wq");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "not a library";
    const std::string sign = ukey_testing::SignTool() + " sign --type 1 --key '" + ukey_testing::DevelopmentKeys() +
                             "/cert.pem' '" + path + "' >/dev/null";
    ASSERT_EQ(std::system(sign.c_str()), 0);
    EXPECT_EQ(Invoke(Call("GetLabel", "wq", Object({{"szSN", "A"}}))).code, -924);
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".sig");
  }
  // Properly signed, the same driver loads.
  InstalledDriver driver("wq", TestDriver("echo"));
  EXPECT_EQ(Invoke(Call("GetLabel", "wq", Object({{"szSN", "A"}}))).code, 0);
  EXPECT_TRUE(Loaded(driver.Path()));
}

TEST_F(UKeyAdapter, EveryCallChecksTheDriverAgain) {
  InstalledDriver driver("wq", TestDriver("echo"));
  EXPECT_EQ(Invoke(Call("GetLabel", "wq", Object({{"szSN", "A"}}))).code, 0);
  std::filesystem::remove(driver.Path() + ".sig");
  EXPECT_EQ(Invoke(Call("GetLabel", "wq", Object({{"szSN", "A"}}))).code, -904);
  std::filesystem::remove(driver.Path());
  EXPECT_EQ(Invoke(Call("GetLabel", "wq", Object({{"szSN", "A"}}))).code, -924);
}

// ---- Dispatch ----------------------------------------------------------------------------

TEST_F(UKeyAdapter, EmptyAndUnknownFunctionsAnswerWithAReply) {
  InstalledDriver driver("wq", TestDriver("echo"));
  const struct {
    std::string functionid;
    int code;
    std::string items;
  } cases[] = {
      {"", -927, Failure(-927, "uk方法为空")},
      {"Nope", -928, Failure(-928, "uk方法不支持")},
      {"getlabel", -928, Failure(-928, "uk方法不支持")},
      {std::string("GetLabel\0x", 10), -928, Failure(-928, "uk方法不支持")},
      {"TestDriverForm", -928, Failure(-928, "uk方法不支持")},
  };
  for (const auto& test : cases) {
    const Answer answer = Invoke(Call(test.functionid, "wq", Object({{"szSN", "A"}})));
    EXPECT_EQ(answer.code, test.code) << test.functionid;
    EXPECT_EQ(Items(answer), test.items) << test.functionid;
  }
  EXPECT_TRUE(driver.Calls().empty());
}

TEST_F(UKeyAdapter, EveryFunctionReachesTheDriverOnItsThread) {
  InstalledDriver driver("wq", TestDriver("echo"));
  for (const ukey_testing::CatalogueCall& call : ukey_testing::Catalogue()) {
    driver.ClearCalls();
    const Answer answer = Invoke(Call(call.function, "wq", call.params));
    EXPECT_EQ(answer.code, 0) << call.function;
    EXPECT_EQ(Items(answer), Success(call.echoItems)) << call.function;
    const auto calls = driver.Calls();
    ASSERT_EQ(calls.size(), 1u) << call.function;
    EXPECT_EQ(calls[0].function, call.function);
    EXPECT_EQ(calls[0].pid, getpid());
    // The main thread is the process's first thread.
    EXPECT_EQ(calls[0].tid, call.mainThread ? getpid() : ThreadId()) << call.function;
  }
  EXPECT_EQ(ukey_testing::Catalogue().size(), 41u);
}

TEST_F(UKeyAdapter, MissingOrMistypedParametersEndWithoutAReply) {
  InstalledDriver driver("wq", TestDriver("echo"));
  const Json::Value notInt[] = {
      1.0,           Json::Int64(2147483648LL), Json::Int64(-2147483649LL), Json::UInt64(1) << 63, "1", true,
      Json::Value(), Json::arrayValue};
  const Json::Value notText[] = {5, true, Json::Value(), Json::arrayValue, Json::objectValue};
  int checked = 0;
  for (const ukey_testing::CatalogueCall& call : ukey_testing::Catalogue()) {
    for (const std::string& key : call.params.getMemberNames()) {
      if (std::find(call.optional.begin(), call.optional.end(), key) != call.optional.end()) continue;
      std::vector<Json::Value> variants;
      Json::Value missing = call.params;
      missing.removeMember(key);
      variants.push_back(missing);
      for (const Json::Value& wrong : call.params[key].isString()
                                          ? std::vector<Json::Value>(std::begin(notText), std::end(notText))
                                          : std::vector<Json::Value>(std::begin(notInt), std::end(notInt))) {
        Json::Value params = call.params;
        params[key] = wrong;
        variants.push_back(params);
      }
      for (const Json::Value& params : variants) {
        const Answer answer = Invoke(Call(call.function, "wq", params));
        EXPECT_EQ(answer.code, -926) << call.function << " " << WriteCompactJson(params);
        EXPECT_EQ(answer.reply, "untouched") << call.function;
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 300);
  // The driver was never touched.
  EXPECT_TRUE(driver.Calls().empty());
}

TEST_F(UKeyAdapter, IntegersAtTheEdgesOf32Bits) {
  InstalledDriver driver("wq", TestDriver("echo"));
  const Answer answer = Invoke(
      Call("GetCert", "wq",
           Object({{"szSN", "A"}, {"certType", Json::Int64(2147483647)}, {"keyType", Json::Int64(-2147483648LL)}})));
  EXPECT_EQ(Items(answer), Success("[{\"value\":\"GetCert(A,2147483647,-2147483648)\"}]"));
  // An integer written with a fraction or an exponent is a real number.
  for (const char* number : {"1.0", "1e2", "-0.0"}) {
    const std::string request = Base64::encode64(
        std::string("{\"functionid\":\"GetCert\",\"parameters\":[{\"vendor\":\"wq\",\"szSN\":\"A\",\"certType\":") +
        number + ",\"keyType\":1}]}");
    EXPECT_EQ(Invoke(request).code, -926) << number;
  }
}

TEST_F(UKeyAdapter, OptionalTextsBecomeEmpty) {
  InstalledDriver driver("wq", TestDriver("echo"));
  Json::Value sign = Object({{"szSN", "S"}, {"nHashType", 1}, {"nFlag", 0}, {"szData", "d"}});
  const std::string empty = Success("[{\"value\":\"Sign(S,1,0,d,) size=1048576 zeroed=1\"}]");
  EXPECT_EQ(Items(Invoke(Call("Sign", "wq", sign))), empty);
  sign["szWarningMsg"] = 5;
  EXPECT_EQ(Items(Invoke(Call("Sign", "wq", sign))), empty);
  // Batch_Sign takes no szSN, and its UI text is optional too.
  Json::Value batch = ukey_testing::CatalogueEntry("Batch_Sign").params;
  batch.removeMember("szTradeUI");
  batch["szTradeUI2"] = "ignored";
  EXPECT_EQ(Items(Invoke(Call("Batch_Sign", "wq", batch))),
            Success("[{\"value\":\"Batch_Sign(1,CN=T,2,3,td,,CN=N,4,5,nd,6) size=1048576 zeroed=1\"}]"));
}

TEST_F(UKeyAdapter, SigningBuffersAreSizedFromTheData) {
  InstalledDriver driver("wq", TestDriver("echo"));
  const struct {
    const char* function;
    std::size_t data;   // bytes of the sizing parameter
    std::size_t other;  // bytes of Batch_Sign's normal data
    const char* size;
  } cases[] = {
      {"Sign", 0, 0, "1048576"},
      {"Sign", 10, 0, "1048576"},
      {"Sign", 258048, 0, "1048576"},
      {"Sign", 258049, 0, "1048580"},
      {"Sign", 300000, 0, "1216384"},
      {"SignHash", 300000, 0, "1216384"},
      {"Batch_Sign", 10, 300000, "1048576"},
      {"Batch_Sign", 300000, 10, "1216384"},
  };
  for (const auto& test : cases) {
    const std::string data(test.data, 'd');
    Json::Value params;
    if (std::string(test.function) == "Batch_Sign") {
      params = Object({{"nType", 1},
                       {"strTradeCertDn", "T"},
                       {"tradeHashType", 1},
                       {"nTradeFlag", 0},
                       {"szTradeSrcData", data},
                       {"strNormalCertDn", "N"},
                       {"normalHashType", 1},
                       {"nNormalFlag", 0},
                       {"szNormalSrcData", std::string(test.other, 'n')},
                       {"nNormalSrcDataType", 0}});
    } else {
      params = Object({{"szSN", "S"}, {"nHashType", 1}, {"nFlag", 0}, {"nSrcDataType", 0}});
      params[std::string(test.function) == "Sign" ? "szData" : "szSrcData"] = data;
    }
    const Answer answer = Invoke(Call(test.function, "wq", params));
    ASSERT_EQ(answer.code, 0) << test.function << " " << test.data;
    const std::string items = Items(answer);
    EXPECT_NE(items.find(std::string(" size=") + test.size + " zeroed=1\""), std::string::npos)
        << test.function << " " << test.data << ": " << items.substr(0, 300);
  }
}

// ---- Results of the driver -------------------------------------------------------------

TEST_F(UKeyAdapter, DriverCodesAreReportedWithTheirTexts) {
  InstalledDriver driver("wq", TestDriver("echo"));
  for (const ukey_testing::CatalogueCall& call : ukey_testing::Catalogue()) {
    if (call.function == "GetFirewareData" || call.function == "GetRemainValidityOfCert") continue;
    // The driver's GetErrorMsg names its codes; a failing GetErrorMsg leaves
    // its own code to the adapter's table.
    driver.Script(call.function + " 10\n");
    const Answer answer = Invoke(Call(call.function, "wq", call.params));
    EXPECT_EQ(answer.code, 10) << call.function;
    EXPECT_EQ(Items(answer),
              call.function == "GetErrorMsg" ? Failure(10, "未定义错误码") : Failure(10, "driver error 10"))
        << call.function;
  }
  driver.Script("GetLabel 11\nGetErrorMsg 3\n");
  EXPECT_EQ(Items(Invoke(Call("GetLabel", "wq", Object({{"szSN", "A"}})))), Failure(11, "未定义错误码"));
  // Codes of the adapter's table keep the adapter's texts.
  driver.Script("GetLabel -901\n");
  driver.ClearCalls();
  EXPECT_EQ(Items(Invoke(Call("GetLabel", "wq", Object({{"szSN", "A"}})))), Failure(-901, "组件库不存在"));
  EXPECT_EQ(driver.Calls().size(), 1u);
  driver.Script("GetLabel -903\n");
  EXPECT_EQ(Items(Invoke(Call("GetLabel", "wq", Object({{"szSN", "A"}})))), Failure(-903, "driver error -903"));
  // The Initialize function of the catalogue calls the driver's Initialize.
  driver.Script("");
  EXPECT_EQ(Items(Invoke(Call("Initialize", "wq"))), "[" + Head(0, "成功") + ",{\"value\":true}]");
}

TEST_F(UKeyAdapter, ValueReturnsAreNeverFailures) {
  InstalledDriver driver("wq", TestDriver("echo"));
  const Json::Value cert = Object({{"szSN", "A"}, {"certType", 1}, {"keyType", 1}});
  driver.Script("GetRemainValidityOfCert -5\nGetFirewareData 7 =\n");
  Answer answer = Invoke(Call("GetRemainValidityOfCert", "wq", cert));
  EXPECT_EQ(answer.code, 0);
  EXPECT_EQ(Items(answer), Success("[{\"value\":-5}]"));
  answer = Invoke(Call("GetFirewareData", "wq", Object({{"szPrintNumber", "P"}, {"nFlag", 1}})));
  EXPECT_EQ(answer.code, 0);
  EXPECT_EQ(Items(answer), Success("[{\"value\":\"\"}]"));
}

TEST_F(UKeyAdapter, FailedGenerateCertRequestGivesNoText) {
  InstalledDriver driver("wq", TestDriver("echo"));
  driver.Script("GenerateCertRequest 10 =MIIBrequest\n");
  const Answer answer = Invoke(Call("GenerateCertRequest", "wq", Object({{"szSN", "A"}, {"szRequestInfo", "CN=A"}})));
  EXPECT_EQ(answer.code, 10);
  EXPECT_EQ(Items(answer), Failure(10, "driver error 10"));
}

TEST_F(UKeyAdapter, DriverWithoutExportsAnswers921) {
  InstalledDriver driver("ft2G", TestDriver("bare"));
  for (const ukey_testing::CatalogueCall& call : ukey_testing::Catalogue()) {
    const Answer answer = Invoke(Call(call.function, "ft2G", call.params));
    EXPECT_EQ(answer.code, -921) << call.function;
    EXPECT_EQ(Items(answer), Failure(-921, "uk接口错误")) << call.function;
  }
}

TEST_F(UKeyAdapter, OutputsADriverLeavesAloneKeepTheirPresets) {
  InstalledDriver driver("ft2G", TestDriver("silent"));
  const struct {
    const char* function;
    Json::Value params;
    std::string items;
  } cases[] = {
      {"GetLastErrCode", Json::objectValue, "[{\"value\":-900}]"},
      {"GetCertInfo", Object({{"szSN", "A"}}), "[{\"value\":\"\"},{\"value\":-1}]"},
      {"GetDriverVersion", Json::objectValue, "[{\"value\":\"\"}]"},
      {"WaitForKeyEvent", Json::objectValue, "[{\"value\":-900},{\"value\":\"\"}]"},
      {"GenerateCertRequest", Object({{"szSN", "A"}, {"szRequestInfo", "CN=A"}}), "[{\"value\":\"\"}]"},
      {"Sign", Object({{"szSN", "A"}, {"nHashType", 1}, {"nFlag", 0}, {"szData", "x"}}), "[{\"value\":\"\"}]"},
      {"GetFirewareData", Object({{"szPrintNumber", "P"}, {"nFlag", 1}}), "[{\"value\":\"\"}]"},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(Items(Invoke(Call(test.function, "ft2G", test.params))), Success(test.items)) << test.function;
  }
}

TEST_F(UKeyAdapter, TextsWithoutAZeroByteEndAtTheBuffer) {
  InstalledDriver driver("ft2G", TestDriver("fill"));
  const std::string filled(10240, 'F');
  const struct {
    const char* function;
    Json::Value params;
    std::size_t length;
  } cases[] = {
      {"GetLabel", Object({{"szSN", "A"}}), 10240},
      {"GenerateCertRequest", Object({{"szSN", "A"}, {"szRequestInfo", "CN=A"}}), 10240},
      {"AsymDec", Object({{"szSN", "A"}, {"nKeyType", 1}, {"nFlag", 0}, {"szSrcData", "x"}}), 10240},
      {"Sign", Object({{"szSN", "A"}, {"nHashType", 1}, {"nFlag", 0}, {"szData", "x"}}), 1048576},
  };
  for (const auto& test : cases) {
    const Answer answer = Invoke(Call(test.function, "ft2G", test.params));
    ASSERT_EQ(answer.code, 0) << test.function;
    const ukey_testing::Reply reply = ReadReply(answer.reply);
    ASSERT_TRUE(reply.wellFormed) << test.function;
    ASSERT_EQ(reply.items.size(), 3u);
    EXPECT_EQ(reply.items[2]["value"].asString(), std::string(test.length, 'F')) << test.function;
  }
  // The driver's error text is taken the same way.
  driver.Script("GetLabel 55\n");
  const ukey_testing::Reply reply = ReadReply(Invoke(Call("GetLabel", "ft2G", Object({{"szSN", "A"}}))).reply);
  ASSERT_TRUE(reply.wellFormed);
  EXPECT_EQ(reply.items[1]["errormessage"].asString(), filled);
}

TEST_F(UKeyAdapter, TheReplyAndItsInnerDocumentEndInALineFeed) {
  InstalledDriver driver("wq", TestDriver("echo"));
  const Answer answer = Invoke(Call("GetLabel", "wq", Object({{"szSN", "中文"}})));
  ASSERT_EQ(answer.code, 0);
  const std::string inner =
      "{\"returnvalue\":[{\"ret\":0},{\"errormessage\":\"成功\"},{\"value\":\"GetLabel(中文)\"}]}\n";
  EXPECT_EQ(answer.reply, "{\"returnvalue\":\"" + Base64::encode64(inner) + "\"}\n");
}

// ---- Threads -------------------------------------------------------------------------------

TEST_F(UKeyAdapter, ACallOnTheMainThreadRunsAtOnce) {
  InstalledDriver driver("wq", TestDriver("echo"));
  const ukey_testing::CatalogueCall& sign = ukey_testing::CatalogueEntry("Sign");
  Answer answer;
  platform::DispatchSyncMain([&] { answer = Invoke(Call("Sign", "wq", sign.params)); });
  EXPECT_EQ(Items(answer), Success(sign.echoItems));
  ASSERT_EQ(driver.Calls().size(), 1u);
  EXPECT_EQ(driver.Calls()[0].tid, getpid());
}

TEST_F(UKeyAdapter, StopDetectUKeyEndsAWaitOnAnotherThread) {
  InstalledDriver driver("wq", TestDriver("echo"));
  driver.Script("WaitForKeyEvent wait\n");
  auto waiting = std::async(std::launch::async, [] { return Invoke(Call("WaitForKeyEvent", "wq")); });
  auto started = [&] {
    for (const auto& call : driver.Calls()) {
      if (call.function == "WaitForKeyEvent") return true;
    }
    return false;
  };
  for (int i = 0; i < 1000 && !started(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(started());
  // Main-thread calls go on while a wait holds its own thread.
  EXPECT_EQ(Invoke(Call("VerifyPIN", "wq", Object({{"szSN", "A"}}))).code, 0);
  EXPECT_EQ(waiting.wait_for(0ms), std::future_status::timeout);
  EXPECT_EQ(Items(Invoke(Call("StopDetectUKey", "wq"))), Success("[{\"value\":true}]"));
  ASSERT_EQ(waiting.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(Items(waiting.get()), Success("[{\"value\":2},{\"value\":\"stopped\"}]"));
}

TEST_F(UKeyAdapter, ConcurrentCallsReachTheDriverOfTheirVendor) {
  InstalledDriver echo("wq", TestDriver("echo"));
  InstalledDriver silent("ft2G", TestDriver("silent"));
  const Json::Value label = Object({{"szSN", "A"}});
  const Json::Value sign = Object({{"szSN", "A"}, {"nHashType", 1}, {"nFlag", 0}, {"szData", "d"}});
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        const bool echoVendor = (i + t) % 2 == 0;
        const std::string vendor = echoVendor ? "wq" : "ft2G";
        const bool signing = i % 3 == 0;
        const Answer answer = Invoke(Call(signing ? "Sign" : "GetLabel", vendor, signing ? sign : label));
        std::string expected = "\"\"";
        if (echoVendor) expected = signing ? "\"Sign(A,1,0,d,) size=1048576 zeroed=1\"" : "\"GetLabel(A)\"";
        if (Items(answer) != Success("[{\"value\":" + expected + "}]")) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  for (const auto& call : echo.Calls()) {
    EXPECT_EQ(call.tid == getpid(), call.function == "Sign") << call.function;
  }
}

// ---- Entry points and the log --------------------------------------------------------------

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The log lines without their time stamps.
std::vector<std::string> LogLines(const std::string& path) {
  std::vector<std::string> lines;
  std::string text = ReadFile(path);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.size() > 16 && line[0] == '[' && line[15] == ']') line = line.substr(16);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

TEST_F(UKeyAdapter, EntryPointsAndLogLines) {
  const std::string home = platform::HomeDirectory();
  if (home.empty()) GTEST_SKIP() << "no home folder";
  const std::string log = platform::RootedPath(home + "/Library/Caches/Halvorn/TARVEN/ukey_log.sh");
  std::error_code error;
  std::filesystem::remove(log, error);

  // Without Initialize there is no file, and nothing creates it.
  InstalledDriver driver("wq", TestDriver("echo"));
  EXPECT_EQ(Invoke(Call("GetLabel", "wq", Object({{"szSN", "A"}}))).code, 0);
  EXPECT_FALSE(std::filesystem::exists(log));

  EXPECT_EQ(TheAdapter().initialize(), 0);
  EXPECT_EQ(ReadFile(log), "组件库初始化，日志版本v1.0.0.2\n");
  const std::string request = "{\"functionid\":\"WaitForKeyEvent\",\"parameters\":[{\"vendor\":\"wq\"}]}";
  EXPECT_EQ(Invoke(Base64::encode64(request)).code, 0);
  EXPECT_EQ(Invoke("").code, -907);  // writes nothing
  EXPECT_EQ(Invoke(Base64::encode64("[1]")).code, -913);
  EXPECT_EQ(TheAdapter().finalize(), 0);
  const std::string inner =
      "{\"returnvalue\":[{\"ret\":0},{\"errormessage\":\"成功\"},{\"value\":1},{\"value\":"
      "\"WaitForKeyEvent()\"}]}";
  const std::vector<std::string> expected = {
      "组件库初始化，日志版本v1.0.0.2",
      "组件库传入请求:" + request,
      "尝试调用驱动库 WaitForKeyEvent(wq)",
      "WaitForKeyEvent 返回码:0(wq)",
      "组件库返回1:0(wq)",
      "getReslut",
      "reverse",
      "~getReslut",
      "clearResult",
      "~clearResult",
      "组件库返回2:0(wq)(" + inner,
      ")",
      "组件库传入请求:[1]",
      "组件库反初始化",
  };
  EXPECT_EQ(LogLines(log), expected);
  std::filesystem::remove(log, error);
}

std::thread testThread;

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  testThread = std::thread([] {
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    platform::DispatchAsyncMain([result] {
      testThread.join();
      std::exit(result);
    });
  });
  platform::RunMainQueue();
}
