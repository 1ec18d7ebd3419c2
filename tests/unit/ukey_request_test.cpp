// The UKey adapter's parts on their own: merging of the parameters, the
// vendor table, the size of signing buffers, the result list and the error
// texts.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "adapter/error_codes.h"
#include "adapter/jsonresults.h"
#include "adapter/request.h"
#include "json/json_text.h"
#include "platform/install_root.h"

namespace {

Json::Value Parse(const std::string& text) {
  Json::Value value;
  EXPECT_TRUE(ParseStrictJson(text, value)) << text;
  return value;
}

TEST(UKeyMerge, ParametersAsPagesSendThem) {
  const struct {
    const char* parameters;
    const char* merged;  // nullptr: the merge fails
  } cases[] = {
      {"[]", "{}"},
      {"[{}]", "{}"},
      {"[{\"vendor\":\"wq\"},{\"szSN\":\"A\"}]", "{\"szSN\":\"A\",\"vendor\":\"wq\"}"},
      {"[{\"vendor\":\"wq\",\"szSN\":\"A\"}]", "{\"szSN\":\"A\",\"vendor\":\"wq\"}"},
      {"[{\"szSN\":\"A\"},{\"szSN\":\"B\"}]", "{\"szSN\":\"B\"}"},
      {"[{\"a\":{\"b\":{}}},{\"c\":[{}]}]", "{\"a\":{\"b\":{}},\"c\":[{}]}"},
      {"[{\"a\":\"}{\"}]", "{\"a\":\"}{\"}"},
      {"[{},{\"vendor\":\"wq\"}]", nullptr},
      {"[{\"vendor\":\"wq\"},{}]", nullptr},
      {"[{\"a\":1},{},{\"b\":2}]", nullptr},
      {"[{},{}]", nullptr},
      {"[5]", nullptr},
      {"[\"vendor\"]", nullptr},
      {"[null]", nullptr},
      {"[{\"a\":1},true]", nullptr},
      // The pieces between the first "{" and the last "}" of an element are
      // taken whatever the element is.
      {"[[{\"vendor\":\"wq\"}]]", "{\"vendor\":\"wq\"}"},
  };
  for (const auto& test : cases) {
    Json::Value merged;
    const bool parsed = ukey::MergeParameters(Parse(test.parameters), merged);
    if (test.merged == nullptr) {
      EXPECT_FALSE(parsed) << test.parameters;
    } else {
      ASSERT_TRUE(parsed) << test.parameters;
      EXPECT_EQ(WriteCompactJson(merged), std::string(test.merged) + "\n") << test.parameters;
    }
  }
}

TEST(UKeyVendors, TheTableUnderTheInstallRoot) {
  const std::string root(platform::InstallRoot());
  EXPECT_EQ(ukey::VendorDriverPath("wq"), root + "/usr/local/ZELK/ZELKUSBKEY2/libtarven_wdusbkey.dylib");
  EXPECT_EQ(ukey::VendorDriverPath("tdr"),
            root + "/Library/Application Support/Quenmark/TARVEN_UKey_Quenmark/tarven_unified_tdrukey.dylib");
  EXPECT_EQ(ukey::VendorDriverPath("ft2G"), root + "/usr/local/lib/tarven_unified_ftukey.dylib");
  EXPECT_EQ(ukey::VendorDriverPath("test"),
            root + "/Users/halvorn/Documents/testlib/Build/Products/Debug/libtestlib.dylib");
  for (const char* unknown : {"WQ", "", "wq ", "FT2G", "ft2g", "test\n"}) {
    EXPECT_EQ(ukey::VendorDriverPath(unknown), "") << unknown;
  }
  EXPECT_EQ(ukey::VendorDriverPath(std::string("wq\0x", 4)), "");
}

TEST(UKeySigningBuffer, SizedFromTheInput) {
  const struct {
    std::size_t n;
    int32_t size;  // 0: refused
  } cases[] = {
      {0, 1048576},
      {10, 1048576},
      {258048, 1048576},
      {258049, 1048580},
      {300000, 1216384},
      {536866815, 2147483644},
      {536866816, 0},
      {std::numeric_limits<std::size_t>::max(), 0},
      {std::numeric_limits<std::size_t>::max() / 4, 0},
  };
  for (const auto& test : cases) {
    int32_t size = -1;
    const bool fits = ukey::SigningBufferSize(test.n, size);
    EXPECT_EQ(fits, test.size != 0) << test.n;
    if (fits) {
      EXPECT_EQ(size, test.size) << test.n;
    }
  }
}

TEST(UKeyResults, ItemsInReverseOrder) {
  jsonresults results;
  results.addReslut(true, "value");
  results.addReslut("text", "value");
  results.addReslut(static_cast<int32_t>(-7), "value");
  results.addReslut(std::string("s\0t", 3), "k");
  results.addReslut(static_cast<const char*>(nullptr), "n");
  EXPECT_EQ(results.getReslut(),
            "{\"returnvalue\":[{\"n\":\"\"},{\"k\":\"s\\u0000t\"},{\"value\":-7},{\"value\":\"text\"},"
            "{\"value\":true}]}\n");
  results.clearResult();
  EXPECT_EQ(results.getReslut(), "{\"returnvalue\":null}\n");
  results.addReslut(std::string("中文\"\\\n"), "errormessage");
  EXPECT_EQ(results.getReslut(), "{\"returnvalue\":[{\"errormessage\":\"中文\\\"\\\\\\n\"}]}\n");
}

TEST(UKeyErrors, TheAdapterTable) {
  EXPECT_EQ(mErrcode.size(), 30u);
  const struct {
    int32_t code;
    const char* text;
  } cases[] = {
      {0, "成功"},
      {-900, "未知错误"},
      {-904, "验证平台失败"},
      {-907, "调用handle的参数错误"},
      {-913, "传入Json参数错误（缺少functionid和parameters）"},
      {-921, "uk接口错误"},
      {-924, "加载uk驱动库失败"},
      {-925, "uk不存在"},
      {-926, "json参数错误"},
      {-927, "uk方法为空"},
      {-928, "uk方法不支持"},
      {-929, "Json转换过程错误"},
      {-930, "Json没有uk名"},
      // Codes without a row, and no driver to ask.
      {-903, "未定义错误码"},
      {-923, "未定义错误码"},
      {-931, "未定义错误码"},
      {1, "未定义错误码"},
  };
  for (const auto& test : cases) EXPECT_EQ(GetErrorMsg(test.code, nullptr), test.text) << test.code;
}

TEST(UKeyErrors, TextsOfTheDriver) {
  void* echo = dlopen(UKEY_TEST_DRIVERS "/ukey_driver_echo.dylib", RTLD_LAZY | RTLD_LOCAL);
  void* bare = dlopen(UKEY_TEST_DRIVERS "/ukey_driver_bare.dylib", RTLD_LAZY | RTLD_LOCAL);
  void* fill = dlopen(UKEY_TEST_DRIVERS "/ukey_driver_fill.dylib", RTLD_LAZY | RTLD_LOCAL);
  ASSERT_NE(echo, nullptr) << dlerror();
  ASSERT_NE(bare, nullptr) << dlerror();
  ASSERT_NE(fill, nullptr) << dlerror();
  EXPECT_EQ(GetErrorMsg(5, echo), "driver error 5");
  EXPECT_EQ(GetErrorMsg(-921, echo), "uk接口错误");
  EXPECT_EQ(GetErrorMsg(5, bare), "未定义错误码");
  EXPECT_EQ(GetErrorMsg(5, fill), std::string(10240, 'F'));
}

}  // namespace
