// Loading, calling and unloading components through the staged service over
// TLS, with the signed test components of tests/components.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base64/base64.h"
#include "dispatch/component_catalogue.h"
#include "json/json_text.h"
#include "logfile/logfile.h"
#include "tests/support/service_fixture.h"
#include "tests/support/service_process.h"
#include "tools/client/envelope.h"
#include "tools/client/https_client.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ServiceProcess;

const std::string kHeader = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\n\r\n";

std::string Component(const std::string& name) { return std::string(TEST_COMPONENT_DIR) + "/" + name + ".dylib"; }

std::string Reply(const std::string& text, int code) {
  return "{\"ecode\":" + std::to_string(code) + ",\"message\":\"" + text + "\"}\n";
}
const std::string kSuccess = Reply("成功", 0);
const std::string kNotLoaded = Reply("加载组件库失败", -902);
const std::string kVerificationFailed = Reply("组件库验证平台失败", -903);
const std::string kNoSuchLibrary = Reply("组件库不存在", -901);
const std::string kParameterError = Reply("传入组件库验证参数错误（为空或者长度不对）", -905);
const std::string kEntryPointMissing = Reply("获取ukey库接口函数失败", -921);

class ComponentTest : public testing_support::StagedServiceTest {
 protected:
  // Sends a command as a page does and returns the reply inside the JSONP.
  static std::string Send(const Json::Value& command) {
    std::string text = WriteCompactJson(command);
    std::string response;
    if (!vasquill_client::Exchange(port_, vasquill_client::GetRequest("cb", vasquill_client::BuildEnvelope(text)),
                                   response)) {
      return "<no connection>";
    }
    std::string reply;
    if (!vasquill_client::ParseJsonp(response, "cb", reply)) return "<not JSONP: " + response + ">";
    return reply;
  }
  static std::string Load(const Json::Value& name, const Json::Value& type = Json::Value()) {
    Json::Value command;
    command["pcode"] = 0;
    command["name"] = name;
    if (!type.isNull()) command["type"] = type;
    return Send(command);
  }
  static std::string Call(const std::string& params) {
    Json::Value command;
    command["pcode"] = 1;
    command["params"] = params;
    return Send(command);
  }
  static std::string Unload() {
    Json::Value command;
    command["pcode"] = 2;
    return Send(command);
  }
  static std::string SwitchLog(bool on) {
    Json::Value command;
    command["pcode"] = 7;
    command["Log"] = on;
    return Send(command);
  }
  static std::string EchoReply(const std::string& params, int initializations = 1) {
    return "{\"initializations\":" + std::to_string(initializations) + ",\"returnvalue\":\"" + params + "\"}\n";
  }

};

TEST_F(ComponentTest, CallBeforeAnyLoadIsRefused) {
  EXPECT_EQ(Call("abc"), kNotLoaded);
  EXPECT_EQ(Unload(), kNotLoaded);
}

TEST_F(ComponentTest, LoadCallAndUnload) {
  EXPECT_EQ(Load(Component("component_echo0")), kSuccess);
  // The component's reply is passed on byte for byte; its code (7) is not.
  EXPECT_EQ(Call("eyJhIjoxfQ=="), EchoReply("eyJhIjoxfQ=="));
  EXPECT_EQ(Unload(), kSuccess);
  EXPECT_EQ(Unload(), kNotLoaded);
  EXPECT_EQ(Call("abc"), kNotLoaded);
}

TEST_F(ComponentTest, SignatureTypesAndRefusals) {
  const struct {
    const char* what;
    Json::Value name, type;
    std::string reply;
  } cases[] = {
      {"type 1", Component("component_echo1"), 1, kSuccess},
      {"type 1 signature read as type 0", Component("component_echo1"), 0, kVerificationFailed},
      {"type 0 by default", Component("component_echo0"), Json::Value(), kSuccess},
      {"type given as text counts as 0", Component("component_echo0"), "1", kSuccess},
      {"type 2", Component("component_echo0"), 2, kVerificationFailed},
      {"type beyond an int", Component("component_echo0"), Json::Int64(1) << 40, kVerificationFailed},
      {"no signature file", Component("component_unsigned"), 0, kVerificationFailed},
      {"signature of other bytes", Component("component_wrongly_signed"), 0, kVerificationFailed},
      {"no such library", Component("component_missing"), 0, kNoSuchLibrary},
      {"empty name", "", 0, kParameterError},
      {"name not a string", 5, 0, kParameterError},
  };
  for (const auto& test : cases) EXPECT_EQ(Load(test.name, test.type), test.reply) << test.what;
}

TEST_F(ComponentTest, RefusedLibrariesAreNotLoaded) {
  EXPECT_EQ(Load(Component("component_unsigned")), kVerificationFailed);
  EXPECT_EQ(Call("abc"), kNotLoaded);
}

TEST_F(ComponentTest, LibraryThatCannotBeOpened) {
  ASSERT_EQ(Load(Component("component_echo0")), kSuccess);
  Json::Value reply;
  ASSERT_TRUE(ParseStrictJson(Load(Component("component_not_a_library")), reply));
  EXPECT_EQ(reply["ecode"].asInt(), -902);
  EXPECT_EQ(reply["message"].asString(), "加载组件库失败");
  EXPECT_NE(reply["error"].asString().find("component_not_a_library.dylib"), std::string::npos) << reply;
  // The component loaded before is no longer reachable.
  EXPECT_EQ(Call("abc"), kNotLoaded);
}

TEST_F(ComponentTest, InitializeResultsAndMissingEntryPoints) {
  // A failing Initialize is reported, and the library stays loaded.
  EXPECT_EQ(Load(Component("component_failing_init")), Reply("Initialize初始化失败", -906));
  EXPECT_EQ(Call("YQ=="), EchoReply("YQ=="));

  EXPECT_EQ(Load(Component("component_no_initialize")), kEntryPointMissing);
  EXPECT_EQ(Call("Yg=="), EchoReply("Yg==", 0));

  EXPECT_EQ(Load(Component("component_no_invoke")), kSuccess);
  EXPECT_EQ(Call("Yw=="), kEntryPointMissing);
  EXPECT_EQ(Unload(), kSuccess);

  EXPECT_EQ(Load(Component("component_silent")), kSuccess);
  EXPECT_EQ(Call("ZA=="), Reply("未定义错误码", 5));
}

TEST_F(ComponentTest, LoadingAgainInitializesAgain) {
  EXPECT_EQ(Load(Component("component_echo0")), kSuccess);
  EXPECT_EQ(Load(Component("component_echo0")), kSuccess);
  EXPECT_EQ(Call("YQ=="), EchoReply("YQ==", 2));
}

TEST_F(ComponentTest, ParamsMustBeAString) {
  ASSERT_EQ(Load(Component("component_echo0")), kSuccess);
  Json::Value command;
  command["pcode"] = 1;
  command["params"] = 12;
  EXPECT_EQ(Send(command), kParameterError);
  command.removeMember("params");
  EXPECT_EQ(Send(command), kParameterError);
}

TEST_F(ComponentTest, CallChecksWhileTheLogIsOn) {
  ASSERT_EQ(Load(Component("component_echo0")), kSuccess);
  const std::string notJson = Base64::encode64("not json");
  const std::string call = Base64::encode64(
      "{\"functionid\":\"Sign\",\"parameters\":[{\"vendor\":\"wq\",\"szSN\":\"1\"},{\"szData\":\"abc\"}]}");

  // With the log off, anything reaches the component.
  EXPECT_EQ(Call("%%% not Base64"), EchoReply("%%% not Base64"));
  EXPECT_EQ(Call(notJson), EchoReply(notJson));

  std::filesystem::create_directories(LogDirectory());
  std::ofstream(LogFilePath(), std::ios::trunc) << "";
  ASSERT_EQ(SwitchLog(true), kSuccess);
  const struct {
    const char* what;
    std::string params, reply;
  } cases[] = {
      {"not JSON", notJson, Reply("Json注册失败", -915)},
      {"no functionid", Base64::encode64("{\"parameters\":[]}"),
       Reply("传入Json参数错误（缺少functionid和parameters）", -913)},
      {"parameters not an array", Base64::encode64("{\"functionid\":\"Sign\",\"parameters\":{}}"),
       Reply("传入Json参数错误（缺少functionid和parameters）", -913)},
      {"root is an array", Base64::encode64("[1]"), Reply("传入Json参数错误（缺少functionid和parameters）", -913)},
      {"parameters that do not merge", Base64::encode64("{\"functionid\":\"Sign\",\"parameters\":[5]}"),
       Reply("Json转换过程错误", -929)},
      {"a sound call", call, EchoReply(call)},
  };
  for (const auto& test : cases) EXPECT_EQ(Call(test.params), test.reply) << test.what;
  ASSERT_EQ(SwitchLog(false), kSuccess);

  std::ifstream in(LogFilePath());
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(LogFilePath());
  for (const char* line : {"]E_JSON_LOGIC\n", "]E_JSON_EXCEPTION\n", "]E_JSON_TRANERROR\n", "]调用uk名称：wq\n",
                           "]返回码：7\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << " missing from\n" << log;
  }
  // The echo's returnvalue is the call itself, logged decoded.
  const std::string decoded = Base64::decode64(call);
  EXPECT_NE(log.find("]组件库返回长度：" + std::to_string(decoded.size()) + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find("]组件库返回解密：" + decoded + "\n"), std::string::npos) << log;
  // Refused calls write no result line.
  EXPECT_EQ(log.find("返回码：-9"), std::string::npos) << log;
  // The console shows the merged parameters.
  EXPECT_NE(service_->Output().find("传送json：{\"szData\":\"abc\",\"szSN\":\"1\",\"vendor\":\"wq\"}"),
            std::string::npos);
}

TEST_F(ComponentTest, ComponentsInTheComponentDirectory) {
  const std::string directory = ComponentDirectory();
  std::filesystem::create_directories(directory);
  for (const char* suffix : {".dylib", ".dylib.sig"}) {
    std::filesystem::copy_file(Component("component_echo0").substr(0, Component("component_echo0").size() - 6) + suffix,
                               directory + "component_echo0" + suffix,
                               std::filesystem::copy_options::overwrite_existing);
  }
  EXPECT_EQ(Load("component_echo0"), kSuccess);
  EXPECT_EQ(Load("component_echo0.dylib"), kSuccess);

  Json::Value list;
  list["pcode"] = 3;
  Json::Value reply;
  ASSERT_TRUE(ParseStrictJson(Send(list), reply));
  EXPECT_NE(("," + reply["list"].asString() + ",").find(",component_echo0.dylib,"), std::string::npos) << reply;

  Json::Value md5;
  md5["pcode"] = 9;
  md5["name"] = "component_echo0";
  ASSERT_TRUE(ParseStrictJson(Send(md5), reply));
  EXPECT_EQ(reply["ecode"].asInt(), 0);
  EXPECT_EQ(reply["md5"].asString().size(), 32u);

  std::filesystem::remove(directory + "component_echo0.dylib");
  std::filesystem::remove(directory + "component_echo0.dylib.sig");
}

// Unloading never waits for a call in progress, and never pulls the library
// out from under it.
TEST_F(ComponentTest, UnloadDuringALongCall) {
  ASSERT_EQ(Load(Component("component_sleeper")), kSuccess);
  std::string longCall;
  std::thread caller([&longCall] { longCall = Call("1500"); });
  std::this_thread::sleep_for(400ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Unload(), kSuccess);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(Load(Component("component_echo0")), kSuccess);
  caller.join();
  EXPECT_EQ(longCall, "{\"slept\":1500}\n");
  EXPECT_TRUE(service_->Running());
  EXPECT_EQ(Call("YQ=="), EchoReply("YQ=="));
}

// Many connections call the sleeping component while others unload and load
// it again: every call is answered and the service stays up.
TEST_F(ComponentTest, ConcurrentCallsUnloadsAndLoads) {
  ASSERT_EQ(Load(Component("component_sleeper")), kSuccess);
  constexpr int kCallers = 12;
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kCallers; ++i) {
    threads.emplace_back([&answered, i] {
      const std::string reply = Call(std::to_string(200 + 50 * i));
      if (reply == "{\"slept\":" + std::to_string(200 + 50 * i) + "}\n" || reply == kNotLoaded) ++answered;
    });
    if (i % 3 == 2) {
      threads.emplace_back([&answered] {
        const std::string unloaded = Unload();
        const std::string loaded = Load(Component("component_sleeper"));
        if ((unloaded == kSuccess || unloaded == kNotLoaded) && loaded == kSuccess) answered += 2;
      });
    }
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(answered.load(), kCallers + 2 * (kCallers / 3));
  EXPECT_TRUE(service_->Running());
  EXPECT_EQ(Call("10"), "{\"slept\":10}\n");
}

}  // namespace
