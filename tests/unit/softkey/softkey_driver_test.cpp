// The driver as a library: its exports, identity texts, error codes and texts,
// last error code, integrity check and firmware data.

#include <functional>
#include <set>

#include "tests/unit/softkey/softkey_support.h"

namespace softkey_test {
namespace {

using DriverTest = SoftkeyTest;

TEST_F(DriverTest, ExportsEveryCatalogueFunctionAndNothingElse) {
  // The binding of every export is checked by the fixture; here the
  // library's dynamic symbol table holds no more than those.
  std::set<std::string> expected;
#define SOFTKEY_NAME(name) expected.insert(#name);
  SOFTKEY_EXPORTS(SOFTKEY_NAME)
#undef SOFTKEY_NAME
  EXPECT_EQ(expected.size(), 41u);
  std::string command = "nm -D --defined-only '" + library_.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> exported;
  char line[512];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string text = line;
    std::string name = text.substr(text.rfind(' ') + 1);
    name.erase(name.find_last_not_of("\n") + 1);
    exported.insert(name);
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(exported, expected);
}

TEST_F(DriverTest, IdentityTexts) {
  struct Row {
    const char* what;
    std::function<int32_t(char*, int32_t*)> call;
    const char* text;
  };
  const Row rows[] = {
      {"GetDriverVersion", [&](char* o, int32_t* l) { return d.GetDriverVersion(o, l); }, "1.0.0"},
      {"GetDllVersion", [&](char* o, int32_t* l) { return d.GetDllVersion(o, l); }, "1.0.0"},
      {"GetVidAndPid", [&](char* o, int32_t* l) { return d.GetVidAndPid(o, l); }, "0000:0000"},
      {"GetVendorInfo 0", [&](char* o, int32_t* l) { return d.GetVendorInfo(0, o, l); }, "Vasquill"},
      {"GetVendorInfo 1", [&](char* o, int32_t* l) { return d.GetVendorInfo(1, o, l); }, "Vasquill software UKey"},
  };
  for (const Row& row : rows) EXPECT_EQ(Out(row.call), std::pair(int32_t(kOk), std::string(row.text))) << row.what;
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetVendorInfo(2, o, l); }).first, kInvalidArgument);
  EXPECT_EQ(d.Initialize(), kOk);
  EXPECT_EQ(d.Finalize(), kOk);
}

TEST_F(DriverTest, EveryCodeHasItsTextAndLiesOutsideTheSystemsCodes) {
  std::set<std::string> texts;
  for (int32_t code = kInternal; code <= kIntegrityFailed; ++code) {
    SCOPED_TRACE(code);
    EXPECT_TRUE(code > 0 || code < -930) << "clashes with the system's codes";
    auto [result, text] = Out([&](char* o, int32_t* l) { return d.GetErrorMsg(code, o, l); });
    ASSERT_EQ(result, kOk);
    EXPECT_FALSE(text.empty());
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), static_cast<size_t>(kIntegrityFailed - kInternal + 1));  // all distinct
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetErrorMsg(kPinLocked, o, l); }).second, "PIN码已锁定");
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetErrorMsg(0, o, l); }).second, "成功");
  // Codes that are not the driver's: the adapter then uses its own default.
  for (int32_t code : {-1, -926, kIntegrityFailed + 1, 0x0B000000, 12345}) {
    EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetErrorMsg(code, o, l); }).first, kUnknownCode) << code;
  }
}

TEST_F(DriverTest, GetLastErrCodeGivesTheLastCallsCodeAndTextQueriesKeepIt) {
  int32_t last = -900;
  ASSERT_EQ(d.GetLastErrCode(&last), kOk);
  EXPECT_EQ(last, kOk);
  EXPECT_EQ(d.SetLabel("NOSUCHKEY", "x"), kKeyNotFound);
  ASSERT_EQ(d.GetLastErrCode(&last), kOk);
  EXPECT_EQ(last, kKeyNotFound);
  // Asking for the text (as the adapter does) does not replace it.
  Out([&](char* o, int32_t* l) { return d.GetErrorMsg(kKeyNotFound, o, l); });
  Out([&](char* o, int32_t* l) { return d.GetErrorMsg(77, o, l); });
  ASSERT_EQ(d.GetLastErrCode(&last), kOk);
  EXPECT_EQ(last, kKeyNotFound);
  EXPECT_EQ(d.GetRemainValidityOfCert("NOSUCHKEY", 1, 1), -kKeyNotFound);
  ASSERT_EQ(d.GetLastErrCode(&last), kOk);
  EXPECT_EQ(last, kKeyNotFound);
  ASSERT_EQ(d.InitUKey("SK0001"), kOk);
  ASSERT_EQ(d.GetLastErrCode(&last), kOk);
  EXPECT_EQ(last, kOk);
}

TEST_F(DriverTest, CheckDriverIntegrityWantsTheSignatureFileBesideTheLibrary) {
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.CheckDriverIntegrity(0, o, l); }).first, kIntegrityFailed);
  WriteFile(library_.string() + ".sig", "signature");
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.CheckDriverIntegrity(0, o, l); }),
            std::pair(int32_t(kOk), std::string("OK")));
  // A store folder the user cannot use.
  fs::create_directories(store_.parent_path());
  WriteFile(store_, "a file where the folder belongs");
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.CheckDriverIntegrity(0, o, l); }).first, kIntegrityFailed);
  EXPECT_EQ(d.RepairDriver(), kStoreIo);
  EXPECT_EQ(d.InitUKey("SK0001"), kStoreIo);
  // Listing fails rather than claiming there is no key.
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetPrintNumber(o, l); }).first, kStoreIo);
  fs::remove(store_);
  EXPECT_EQ(d.RepairDriver(), kOk);
  EXPECT_TRUE(fs::is_directory(store_));
}

TEST_F(DriverTest, FirmwareDataOfAKey) {
  NewKey("SK0001");
  EXPECT_EQ(d.GetFirewareData("SK0001", 0), "1.0.0");
  std::string info = d.GetFirewareData("SK0001", 1);
  EXPECT_EQ(info.rfind(R"({"serial":"SK0001","label":"SK0001","charset":"UTF-8","language":"zh_CN","created":"20)", 0),
            0u)
      << info;
  int32_t last = 0;
  EXPECT_EQ(d.GetFirewareData("SK0001", 2), "");
  ASSERT_EQ(d.GetLastErrCode(&last), kOk);
  EXPECT_EQ(last, kInvalidArgument);
  EXPECT_EQ(d.GetFirewareData("SK0002", 0), "");
  ASSERT_EQ(d.GetLastErrCode(&last), kOk);
  EXPECT_EQ(last, kKeyNotFound);
  EXPECT_EQ(d.GetFirewareData("../SK0001", 0), "");
}

TEST_F(DriverTest, FinalizeForgetsTheCachedPins) {
  NewKey("SK0001");
  Answer("current", "123456");
  ASSERT_EQ(d.VerifyPIN("SK0001"), kOk);
  ASSERT_EQ(d.Finalize(), kOk);
  std::vector<char> out(1024);
  int32_t len = 1024;
  ASSERT_EQ(d.GetPinInfo("SK0001", out.data(), &len), kOk);
  EXPECT_NE(std::string(out.data()).find("\"cached\":false"), std::string::npos);
}

}  // namespace
}  // namespace softkey_test
