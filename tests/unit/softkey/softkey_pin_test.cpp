// The PIN: asked through the askpass program, checked against the store's
// verifier, counted, locked after six wrong tries, changed and cached.

#include <chrono>

#include "tests/unit/softkey/softkey_support.h"

namespace softkey_test {
namespace {

using PinTest = SoftkeyTest;

std::string PinInfo(Driver& d, const char* serial) {
  std::vector<char> out(1024);
  int32_t len = 1024;
  EXPECT_EQ(d.GetPinInfo(serial, out.data(), &len), kOk);
  return out.data();
}

std::string TriesLeft(const std::string& info) {
  size_t at = info.find("\"triesLeft\":");
  return at == std::string::npos ? "" : info.substr(at + 12, info.find(',', at) - at - 12);
}

// A signature of "data" with the key's signing key, or the failure code.
int32_t SignData(Driver& d, const char* serial, std::string* signature = nullptr) {
  std::vector<char> out(1 << 20);
  int32_t len = static_cast<int32_t>(out.size());
  int32_t code = d.Sign(serial, 1, 0, "data", "", out.data(), &len);
  if (signature != nullptr) *signature = out.data();
  return code;
}

TEST_F(PinTest, VerifyPinAsksTheAskpassProgramAndCachesTheRightPin) {
  NewKey("SK0001");
  Answer("current", "123456");
  ASSERT_EQ(d.VerifyPIN("SK0001"), kOk);
  EXPECT_EQ(Calls(), std::vector<std::string>{"current SK0001"});
  // The prompt names the key, in the key's language.
  EXPECT_NE(LastPrompt().find("SK0001"), std::string::npos);
  EXPECT_NE(LastPrompt().find("PIN"), std::string::npos);
  EXPECT_NE(PinInfo(d, "SK0001").find("\"cached\":true"), std::string::npos);
  // VerifyPIN always asks, even with a PIN cached.
  ASSERT_EQ(d.VerifyPIN("SK0001"), kOk);
  EXPECT_EQ(Calls().size(), 2u);
}

TEST_F(PinTest, ACachedPinServesSigningUntilRemovePinCache) {
  Cert cert = Enrol("SK0001");
  ASSERT_EQ(d.RemovePinCache(), kOk);
  ClearCalls();
  ASSERT_EQ(d.VerifyPIN("SK0001"), kOk);
  std::string signature;
  ASSERT_EQ(SignData(d, "SK0001", &signature), kOk);
  ASSERT_EQ(SignData(d, "SK0001"), kOk);
  EXPECT_EQ(Calls().size(), 1u);
  EXPECT_TRUE(SignatureVerifies(cert.get(), "data", signature));

  ASSERT_EQ(d.RemovePinCache(), kOk);
  EXPECT_NE(PinInfo(d, "SK0001").find("\"cached\":false"), std::string::npos);
  ASSERT_EQ(SignData(d, "SK0001"), kOk);
  EXPECT_EQ(Calls().size(), 2u);
  // A PIN entered for signing is cached as well.
  ASSERT_EQ(SignData(d, "SK0001"), kOk);
  EXPECT_EQ(Calls().size(), 2u);
}

TEST_F(PinTest, SixWrongTriesLockTheKeyForGood) {
  Cert cert = Enrol("SK0001");
  ASSERT_EQ(d.RemovePinCache(), kOk);
  Answer("current", "000000");
  for (int tried = 1; tried <= 5; ++tried) {
    EXPECT_EQ(d.VerifyPIN("SK0001"), kPinIncorrect) << tried;
    EXPECT_EQ(TriesLeft(PinInfo(d, "SK0001")), std::to_string(6 - tried));
  }
  EXPECT_EQ(d.VerifyPIN("SK0001"), kPinLocked);
  EXPECT_EQ(PinInfo(d, "SK0001"),
            R"({"maxTries":6,"triesLeft":0,"locked":true,"defaultPin":true,"cached":false})");
  // Locked: the right PIN is not even asked for, by any operation.
  Answer("current", "123456");
  ClearCalls();
  EXPECT_EQ(d.VerifyPIN("SK0001"), kPinLocked);
  EXPECT_EQ(SignData(d, "SK0001"), kPinLocked);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GenerateCertRequest("SK0001", "CN=A", o, l); }).first,
            kPinLocked);
  EXPECT_EQ(d.ChangePin("SK0001"), kPinLocked);
  EXPECT_TRUE(Calls().empty());
  // The lock is kept in the store: a fresh load of the driver sees it.
  EXPECT_NE(ReadFile(StoreFile("SK0001")).find("\npin.tries=0\n"), std::string::npos);
  // InitUKey is the way out (and the keys go with it).
  ASSERT_EQ(d.InitUKey("SK0001"), kOk);
  EXPECT_EQ(d.VerifyPIN("SK0001"), kOk);
}

TEST_F(PinTest, TheRightPinRestoresTheTriesLeft) {
  NewKey("SK0001");
  Answer("current", "12345");
  for (int tried = 0; tried < 5; ++tried) ASSERT_EQ(d.VerifyPIN("SK0001"), kPinIncorrect);
  EXPECT_EQ(TriesLeft(PinInfo(d, "SK0001")), "1");
  Answer("current", "123456");
  ASSERT_EQ(d.VerifyPIN("SK0001"), kOk);
  EXPECT_EQ(TriesLeft(PinInfo(d, "SK0001")), "6");
}

TEST_F(PinTest, AWrongPinDropsTheCachedOne) {
  Enrol("SK0001");
  Answer("current", "999999");
  EXPECT_EQ(d.VerifyPIN("SK0001"), kPinIncorrect);
  EXPECT_NE(PinInfo(d, "SK0001").find("\"cached\":false"), std::string::npos);
  ClearCalls();
  EXPECT_EQ(SignData(d, "SK0001"), kPinIncorrect);
  EXPECT_EQ(Calls().size(), 1u);
}

TEST_F(PinTest, ChangePinAsksTheCurrentPinAndTheNewOneTwice) {
  Cert cert = Enrol("SK0001");
  ClearCalls();
  Answer("new", "s3cret!PIN");
  Answer("confirm", "s3cret!PIN");
  ASSERT_EQ(d.ChangePin("SK0001"), kOk);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"current SK0001", "new SK0001", "confirm SK0001"}));
  EXPECT_NE(PinInfo(d, "SK0001").find("\"defaultPin\":false"), std::string::npos);

  ASSERT_EQ(d.RemovePinCache(), kOk);
  EXPECT_EQ(d.VerifyPIN("SK0001"), kPinIncorrect);  // the old PIN
  Answer("current", "s3cret!PIN");
  EXPECT_EQ(d.VerifyPIN("SK0001"), kOk);
  // The signing key moved to the new PIN with it.
  std::string signature;
  ASSERT_EQ(SignData(d, "SK0001", &signature), kOk);
  EXPECT_TRUE(SignatureVerifies(cert.get(), "data", signature));
}

TEST_F(PinTest, ChangePinRefusesNewPinsOutsideTheRules) {
  NewKey("SK0001");
  Answer("current", "123456");
  struct Row {
    const char* newPin;
    const char* confirm;
    int32_t expected;
  };
  const Row rows[] = {
      {"abcdef", "abcdeg", kPinMismatch},
      {"12345", "12345", kPinInvalid},
      {"12345678901234567", "12345678901234567", kPinInvalid},
      {"abc def", "abc def", kPinInvalid},
      {"\xE5\xAF\x86\xE7\xA0\x81\xE5\xAF\x86", "\xE5\xAF\x86\xE7\xA0\x81\xE5\xAF\x86", kPinInvalid},
  };
  for (const Row& row : rows) {
    Answer("new", row.newPin);
    Answer("confirm", row.confirm);
    EXPECT_EQ(d.ChangePin("SK0001"), row.expected) << row.newPin;
  }
  // The PIN stayed what it was.
  ASSERT_EQ(d.RemovePinCache(), kOk);
  EXPECT_EQ(d.VerifyPIN("SK0001"), kOk);
  EXPECT_NE(PinInfo(d, "SK0001").find("\"defaultPin\":true"), std::string::npos);
}

TEST_F(PinTest, ChangePinWithAWrongCurrentPinCostsATryAndAsksNoNewPin) {
  NewKey("SK0001");
  Answer("current", "111111");
  Answer("new", "abcdef");
  Answer("confirm", "abcdef");
  EXPECT_EQ(d.ChangePin("SK0001"), kPinIncorrect);
  EXPECT_EQ(Calls(), std::vector<std::string>{"current SK0001"});
  EXPECT_EQ(TriesLeft(PinInfo(d, "SK0001")), "5");
}

TEST_F(PinTest, FailedPinEntriesCostNoTry) {
  NewKey("SK0001");
  struct Row {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // answer files
    const char* program;                                        // VASQUILL_SOFTKEY_ASKPASS
    int32_t expected;
  };
  const std::string missing = "/nonexistent/askpass";
  const Row rows[] = {
      {"cancelled (exit status 1)", {{"exit", "1"}, {"current", "123456\n"}}, SOFTKEY_ASKPASS, kPinCancelled},
      {"empty answer", {{"current", "\n"}}, SOFTKEY_ASKPASS, kPinCancelled},
      {"no answer at all", {}, SOFTKEY_ASKPASS, kPinCancelled},
      {"an answer over 256 bytes", {{"current", std::string(5000, '1')}}, SOFTKEY_ASKPASS, kPinUnavailable},
      {"no such program", {{"current", "123456\n"}}, missing.c_str(), kPinUnavailable},
  };
  for (const Row& row : rows) {
    for (const char* name : {"exit", "current"}) ClearAnswer(name);
    for (const auto& [name, content] : row.files) AnswerRaw(name, content);
    setenv("VASQUILL_SOFTKEY_ASKPASS", row.program, 1);
    EXPECT_EQ(d.VerifyPIN("SK0001"), row.expected) << row.what;
  }
  EXPECT_EQ(TriesLeft(PinInfo(d, "SK0001")), "6");
}

TEST_F(PinTest, AnAskpassProgramThatHangsIsStoppedAtTheTimeLimit) {
  NewKey("SK0001");
  Answer("current", "123456");
  AnswerRaw("sleep", "30");
  setenv("VASQUILL_SOFTKEY_ASKPASS_TIMEOUT", "1", 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(d.VerifyPIN("SK0001"), kPinTimeout);
  // Well before the program's own 30 seconds, its sleep killed with it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_EQ(TriesLeft(PinInfo(d, "SK0001")), "6");
}

TEST_F(PinTest, WithoutAskpassOrDisplayThePinCannotBeAsked) {
  NewKey("SK0001");
  unsetenv("VASQUILL_SOFTKEY_ASKPASS");
  EXPECT_EQ(d.VerifyPIN("SK0001"), kPinUnavailable);
  setenv("VASQUILL_SOFTKEY_ASKPASS", "", 1);  // set but empty counts as unset
  EXPECT_EQ(d.VerifyPIN("SK0001"), kPinUnavailable);
}

TEST_F(PinTest, TheAnswersLineEndIsNotPartOfThePin) {
  NewKey("SK0001");
  for (const char* answer : {"123456", "123456\n", "123456\r\n"}) {
    AnswerRaw("current", answer);
    EXPECT_EQ(d.VerifyPIN("SK0001"), kOk);
  }
  AnswerRaw("current", "123456\n\n");
  EXPECT_EQ(d.VerifyPIN("SK0001"), kPinIncorrect);
}

TEST_F(PinTest, AWarningToConfirmIsShownWithThePinAskedEvenWhenCached) {
  Cert cert = Enrol("SK0001");
  ASSERT_EQ(d.VerifyPIN("SK0001"), kOk);
  ClearCalls();
  std::vector<char> out(1 << 20);
  int32_t len = static_cast<int32_t>(out.size());
  ASSERT_EQ(d.Sign("SK0001", 1, 0, "data", "Pay 100.00 to Bob\nnow", out.data(), &len), kOk);
  EXPECT_EQ(Calls(), std::vector<std::string>{"current SK0001"});
  EXPECT_EQ(LastPrompt().rfind("Pay 100.00 to Bob now\n\n", 0), 0u) << LastPrompt();
  EXPECT_TRUE(SignatureVerifies(cert.get(), "data", out.data()));
  // Declining the confirmation signs nothing.
  AnswerRaw("exit", "1");
  len = static_cast<int32_t>(out.size());
  EXPECT_EQ(d.Sign("SK0001", 1, 0, "data", "Pay 999.00 to Eve", out.data(), &len), kPinCancelled);
  ClearAnswer("exit");
  // Batch_Sign shows its trade text the same way.
  ClearCalls();
  len = static_cast<int32_t>(out.size());
  ASSERT_EQ(d.Batch_Sign(1, "", 1, 0, "t", "Trade: 5 shares", "", 1, 0, "", 0, out.data(), &len), kOk);
  EXPECT_EQ(Calls().size(), 1u);
  EXPECT_EQ(LastPrompt().rfind("Trade: 5 shares\n\n", 0), 0u) << LastPrompt();
  // Without a text the cached PIN serves.
  ClearCalls();
  len = static_cast<int32_t>(out.size());
  ASSERT_EQ(d.Sign("SK0001", 1, 0, "data", "", out.data(), &len), kOk);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(PinTest, EachKeyHasItsOwnSaltAndItsOwnCache) {
  NewKey("SK-A");
  NewKey("SK-B");
  auto salt = [&](const char* serial) {
    std::string text = ReadFile(StoreFile(serial));
    size_t at = text.find("\npin.salt=");
    return text.substr(at, text.find('\n', at + 1) - at);
  };
  EXPECT_NE(salt("SK-A"), salt("SK-B"));
  Answer("current", "123456");
  ASSERT_EQ(d.VerifyPIN("SK-A"), kOk);
  EXPECT_NE(PinInfo(d, "SK-A").find("\"cached\":true"), std::string::npos);
  EXPECT_NE(PinInfo(d, "SK-B").find("\"cached\":false"), std::string::npos);
}

}  // namespace
}  // namespace softkey_test
