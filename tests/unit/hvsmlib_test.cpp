#include "dispatch/hvsmlib.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/error_table.h"
#include "dispatch/reply.h"
#include "logfile/logfile.h"
#include "service/http_request.h"

namespace {

// Rows print as their name in test output.
template <typename Row>
  requires requires(const Row& row) { row.name; }
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

const std::string kSuccess = "成功";
const std::string kUndefined = "未定义错误码";
// U+FF08 and U+FF09 are EF BC 88 and EF BC 89 in UTF-8.
const std::string kParameterError =
    "传入组件库验证参数错误\xEF\xBC\x88为空或者长度不对\xEF\xBC\x89";
const std::string kNotJson = "传入Json参数错误\xEF\xBC\x88缺少functionid和parameters\xEF\xBC\x89";

std::string Fallback(int code, const std::string& message) {
  return "{\"ecode\":" + std::to_string(code) + ",\"message\":\"" + message + "\"}\n";
}

struct Outcome {
  int result;
  std::string reply;
};

Outcome Invoke(const std::string& request) {
  HVSMLib dispatcher;
  CHttpRequest http;
  dispatcher.setrequest(&http);
  Outcome outcome{0, "left over from an earlier command"};
  outcome.result = dispatcher.invoke(request, outcome.reply);
  return outcome;
}

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { setlogSwitch(false); }
  void TearDown() override { setlogSwitch(false); }
};

TEST_F(DispatcherTest, VersionReplyIsExact) {
  const std::string expected = "{\"ecode\":0,\"message\":\"成功\",\"version\":\"1.0.0.0\"}\n";
  for (const std::string request : {"{\"pcode\":4}", "{\"params\":\"x\",\"pcode\":4}", " {\"pcode\" : 4 } tail"}) {
    Outcome outcome = Invoke(request);
    EXPECT_EQ(outcome.result, 0) << request;
    EXPECT_EQ(outcome.reply, expected) << request;
  }
  // The same bytes, spelled out: no \u escapes for the two characters.
  EXPECT_EQ(Invoke("{\"pcode\":4}").reply,
            "{\"ecode\":0,\"message\":\"\xE6\x88\x90\xE5\x8A\x9F\",\"version\":\"1.0.0.0\"}\n");
}

struct Case {
  const char* name;
  std::string request;
  int result;
  std::string reply;
};

std::string Nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

const Case kCases[] = {
    // Special texts.
    {"Empty", "", -2, Fallback(-2, kUndefined)},
    {"Splice", "splice", -2, Fallback(0, kSuccess)},
    {"SpliceCapitalised", "Splice", -913, Fallback(-913, kNotJson)},
    {"SpliceWithTrailingBlank", "splice ", -913, Fallback(-913, kNotJson)},
    {"SpliceWithLeadingBlank", " splice", -913, Fallback(-913, kNotJson)},
    {"SpliceAsJsonString", "\"splice\"", -913, Fallback(-913, kNotJson)},
    // Texts the strict reader does not take.
    {"NotJson", "pcode=4", -913, Fallback(-913, kNotJson)},
    {"RootNumber", "4", -913, Fallback(-913, kNotJson)},
    {"RootBoolean", "true", -913, Fallback(-913, kNotJson)},
    {"RootNull", "null", -913, Fallback(-913, kNotJson)},
    {"CutShort", "{\"pcode\":4", -913, Fallback(-913, kNotJson)},
    {"DeeperThanAThousandLevels", Nested(1001), -913, Fallback(-913, kNotJson)},
    {"FarTooDeep", Nested(100000), -913, Fallback(-913, kNotJson)},
    {"DeepObjects", std::string(100000, '{'), -913, Fallback(-913, kNotJson)},
    // Roots that carry no integer "pcode".
    {"RootArray", "[{\"pcode\":4}]", -2, Fallback(-2, kUndefined)},
    {"EmptyArray", "[]", -2, Fallback(-2, kUndefined)},
    {"NoPcode", "{\"code\":4}", -2, Fallback(-2, kUndefined)},
    {"PcodeString", "{\"pcode\":\"4\"}", -2, Fallback(-2, kUndefined)},
    {"PcodeFraction", "{\"pcode\":4.5}", -2, Fallback(-2, kUndefined)},
    {"PcodeWholeFraction", "{\"pcode\":4.0}", -2, Fallback(-2, kUndefined)},
    {"PcodeExponent", "{\"pcode\":4e0}", -2, Fallback(-2, kUndefined)},
    {"PcodeBoolean", "{\"pcode\":true}", -2, Fallback(-2, kUndefined)},
    {"PcodeNull", "{\"pcode\":null}", -2, Fallback(-2, kUndefined)},
    {"PcodeArray", "{\"pcode\":[4]}", -2, Fallback(-2, kUndefined)},
    {"PcodeObject", "{\"pcode\":{\"v\":4}}", -2, Fallback(-2, kUndefined)},
    {"PcodeBeyondInt32", "{\"pcode\":3000000000}", -2, Fallback(-2, kUndefined)},
    {"PcodeBelowInt32", "{\"pcode\":-2147483652}", -2, Fallback(-2, kUndefined)},
    {"PcodeBeyondUInt64", "{\"pcode\":99999999999999999999}", -2, Fallback(-2, kUndefined)},
    {"PcodeUpperCaseName", "{\"PCODE\":4}", -2, Fallback(-2, kUndefined)},
    // Integers without a command.
    {"PcodeNegative", "{\"pcode\":-1}", -2, Fallback(-2, kUndefined)},
    {"PcodeSix", "{\"pcode\":6}", -2, Fallback(-2, kUndefined)},
    {"PcodeTen", "{\"pcode\":10}", -2, Fallback(-2, kUndefined)},
    {"PcodeLargest", "{\"pcode\":2147483647}", -2, Fallback(-2, kUndefined)},
    // getErrorMessage.
    {"ErrorMessageKnown", "{\"pcode\":5,\"errcode\":-901}", 0, "{\"ecode\":0,\"errormessage\":\"组件库不存在\"}\n"},
    {"ErrorMessageSuccess", "{\"pcode\":5,\"errcode\":0}", 0, "{\"ecode\":0,\"errormessage\":\"成功\"}\n"},
    {"ErrorMessageBracketText", "{\"pcode\":5,\"errcode\":-913}", 0,
     "{\"ecode\":0,\"errormessage\":\"" + kNotJson + "\"}\n"},
    {"ErrorMessageUnknown", "{\"pcode\":5,\"errcode\":-923}", 0, "{\"ecode\":0,\"errormessage\":\"未定义错误码\"}\n"},
    {"ErrorMessageMinusTwo", "{\"pcode\":5,\"errcode\":-2}", 0, "{\"ecode\":0,\"errormessage\":\"未定义错误码\"}\n"},
    {"ErrorMessageCodeAsString", "{\"pcode\":5,\"errcode\":\"-901\"}", -905, "{\"ecode\":-905,\"errormessage\":\"\"}\n"},
    {"ErrorMessageHugeCode", "{\"pcode\":5,\"errcode\":-3000000000}", -905,
     "{\"ecode\":-905,\"errormessage\":\"\"}\n"},
    {"ErrorMessageFraction", "{\"pcode\":5,\"errcode\":-901.0}", -905, "{\"ecode\":-905,\"errormessage\":\"\"}\n"},
    {"ErrorMessageMissingCode", "{\"pcode\":5}", -905, "{\"ecode\":-905,\"errormessage\":\"\"}\n"},
    {"ErrorMessageNullCode", "{\"pcode\":5,\"errcode\":null}", -905, "{\"ecode\":-905,\"errormessage\":\"\"}\n"},
    // switchLog refusals.
    {"SwitchLogNumber", "{\"pcode\":7,\"Log\":1}", -905, Fallback(-905, kParameterError)},
    {"SwitchLogString", "{\"pcode\":7,\"Log\":\"true\"}", -905, Fallback(-905, kParameterError)},
    {"SwitchLogMissing", "{\"pcode\":7}", -905, Fallback(-905, kParameterError)},
    {"SwitchLogLowerCaseName", "{\"pcode\":7,\"log\":true}", -905, Fallback(-905, kParameterError)},
};

class DispatchCase : public DispatcherTest, public ::testing::WithParamInterface<Case> {};

TEST_P(DispatchCase, AnswersByteForByte) {
  Outcome outcome = Invoke(GetParam().request);
  EXPECT_EQ(outcome.result, GetParam().result);
  EXPECT_EQ(outcome.reply, GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(Requests, DispatchCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Log commands ------------------------------------------------------------

TEST_F(DispatcherTest, LogStatusMembersComeInByteOrder) {
  Outcome outcome = Invoke("{\"pcode\":8}");
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.reply, "{\"Log\":false,\"ecode\":0,\"message\":\"成功\"}\n");
}

TEST_F(DispatcherTest, SwitchLogTogglesTheSwitch) {
  const std::string ok = Fallback(0, kSuccess);
  for (bool on : {true, true, false, true, false, false}) {
    Outcome outcome = Invoke(std::string("{\"pcode\":7,\"Log\":") + (on ? "true" : "false") + "}");
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.reply, ok);
    EXPECT_EQ(getlogSwitch(), on);
    EXPECT_EQ(Invoke("{\"pcode\":8}").reply,
              std::string("{\"Log\":") + (on ? "true" : "false") + ",\"ecode\":0,\"message\":\"成功\"}\n");
  }
}

TEST_F(DispatcherTest, RefusedSwitchLogLeavesTheSwitchAlone) {
  const std::string refused[] = {"{\"pcode\":7,\"Log\":1}", "{\"pcode\":7,\"Log\":0}", "{\"pcode\":7,\"Log\":\"false\"}",
                                 "{\"pcode\":7,\"Log\":null}", "{\"pcode\":7,\"Log\":[false]}", "{\"pcode\":7}"};
  for (bool state : {false, true}) {
    setlogSwitch(state);
    for (const std::string& request : refused) {
      Outcome outcome = Invoke(request);
      EXPECT_EQ(outcome.result, -905) << request;
      EXPECT_EQ(outcome.reply, Fallback(-905, kParameterError)) << request;
      EXPECT_EQ(getlogSwitch(), state) << request;
    }
  }
}

// --- Error table -----------------------------------------------------------------

struct Row {
  int32_t code;
  std::string text;
};

const Row kTable[] = {
    {0, "成功"},
    {-900, "未知错误"},
    {-901, "组件库不存在"},
    {-902, "加载组件库失败"},
    {-903, "组件库验证平台失败"},
    {-904, "验证平台失败"},
    {-905, "传入组件库验证参数错误（为空或者长度不对）"},
    {-906, "Initialize初始化失败"},
    {-907, "调用handle的参数错误"},
    {-908, "调用handle的接收缓冲区太小"},
    {-909, "Finalize反初始化失败"},
    {-910, "获取组件库列表失败"},
    {-911, "获取版本信息失败"},
    {-912, "获取错误码对应的描述信息失败"},
    {-913, "传入Json参数错误（缺少functionid和parameters）"},
    {-914, "Json超时"},
    {-915, "Json注册失败"},
    {-916, "获取组件库当前路径失败"},
    {-917, "获取验签算法失败"},
    {-918, "加载算法库失败"},
    {-919, "解析json失败"},
    {-920, "算法库hash校验失败"},
    {-921, "获取ukey库接口函数失败"},
    {-922, "加载ukey库模块失败"},
    {-924, "加载uk驱动库失败"},
    {-925, "uk不存在"},
    {-926, "json参数错误"},
    {-927, "uk方法为空"},
    {-928, "uk方法不支持"},
    {-929, "Json转换过程错误"},
    {-930, "Json没有uk名"},
};

TEST(ErrorTable, HoldsExactlyTheListedRows) {
  ASSERT_EQ(mErrcode.size(), std::size(kTable));
  for (const Row& row : kTable) {
    auto found = mErrcode.find(row.code);
    ASSERT_NE(found, mErrcode.end()) << row.code;
    EXPECT_EQ(found->second, row.text) << row.code;
    EXPECT_EQ(GetErrorMsg(row.code), row.text) << row.code;
  }
}

TEST(ErrorTable, BracketsAreFullWidth) {
  EXPECT_EQ(GetErrorMsg(-905), kParameterError);
  EXPECT_EQ(GetErrorMsg(-913), kNotJson);
  for (const Row& row : kTable) {
    EXPECT_EQ(row.text.find_first_of("()"), std::string::npos) << row.code;
    EXPECT_EQ(GetErrorMsg(row.code).find_first_of("()"), std::string::npos) << row.code;
  }
}

TEST(ErrorTable, CodesWithoutARowAreUndefined) {
  for (int code : {-2, -1, 1, -899, -923, -931, -1000, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(GetErrorMsg(code), "未定义错误码") << code;
  }
}

TEST(ReplyEnvelope, CarriesCodeAndTableTextForEveryRow) {
  for (const Row& row : kTable) EXPECT_EQ(ReplyText(ReplyObject(row.code)), Fallback(row.code, row.text));
  EXPECT_EQ(ReplyText(ReplyObject(-2)), Fallback(-2, kUndefined));
}

// --- Dispatchers side by side --------------------------------------------------

TEST_F(DispatcherTest, DispatchersOnSeveralThreadsAnswerAlike) {
  const std::vector<Case> requests = {
      {"", "{\"pcode\":4}", 0, "{\"ecode\":0,\"message\":\"成功\",\"version\":\"1.0.0.0\"}\n"},
      {"", "{\"pcode\":5,\"errcode\":-905}", 0, "{\"ecode\":0,\"errormessage\":\"" + kParameterError + "\"}\n"},
      {"", "splice", -2, Fallback(0, kSuccess)},
      {"", "[]", -2, Fallback(-2, kUndefined)},
      {"", "oops", -913, Fallback(-913, kNotJson)},
  };
  std::vector<int> failures(8, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const Case& request = requests[(t + static_cast<size_t>(i)) % requests.size()];
        Outcome outcome = Invoke(request.request);
        if (outcome.result != request.result || outcome.reply != request.reply) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int count : failures) EXPECT_EQ(count, 0);
}

TEST(HVSMLib, AnswersWithoutARequestObject) {
  HVSMLib dispatcher;
  std::string reply;
  EXPECT_EQ(dispatcher.invoke("{\"pcode\":4}", reply), 0);
  EXPECT_EQ(reply, "{\"ecode\":0,\"message\":\"成功\",\"version\":\"1.0.0.0\"}\n");
}

}  // namespace
