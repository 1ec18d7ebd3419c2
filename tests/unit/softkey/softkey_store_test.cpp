// Virtual keys and their store files: creation, reset, listing, settings and
// data, and writes that never leave a store half-written.

#include <sys/stat.h>

#include <set>
#include <thread>

#include "tests/unit/softkey/softkey_support.h"

namespace softkey_test {
namespace {

using StoreTest = SoftkeyTest;

std::set<std::string> FolderEntries(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

TEST_F(StoreTest, InitUKeyCreatesOneStoreFileOwnedByTheUserAlone) {
  ASSERT_EQ(d.InitUKey("SK0001"), kOk);
  ASSERT_TRUE(fs::is_regular_file(StoreFile("SK0001")));
  struct stat info {};
  ASSERT_EQ(stat(StoreFile("SK0001").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(store_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  std::string text = ReadFile(StoreFile("SK0001"));
  EXPECT_EQ(text.rfind("vasquill-softkey-store 1\n", 0), 0u);
  EXPECT_NE(text.find("\nserial=SK0001\n"), std::string::npos);
  // The PIN is kept as a salted verifier only.
  EXPECT_EQ(text.find("123456"), std::string::npos);
}

TEST_F(StoreTest, NewKeyHasItsSerialAsLabelAndTheDefaultPin) {
  NewKey("SK0001");
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetLabel("SK0001", o, l); }), std::pair(int32_t(kOk), std::string("SK0001")));
  auto [code, info] = Out([&](char* o, int32_t* l) { return d.GetPinInfo("SK0001", o, l); });
  EXPECT_EQ(code, kOk);
  EXPECT_EQ(info, R"({"maxTries":6,"triesLeft":6,"locked":false,"defaultPin":true,"cached":false})");
}

TEST_F(StoreTest, GetPrintNumberListsTheSerialsPresentInOrder) {
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetPrintNumber(o, l); }), std::pair(int32_t(kOk), std::string()));
  for (const char* serial : {"SK-B", "SK-A", "sk.c_2"}) NewKey(serial);
  // Files that are not stores are not keys.
  WriteFile(store_ / "notes.txt", "x");
  WriteFile(store_ / ".hidden.key", "x");
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetPrintNumber(o, l); }),
            std::pair(int32_t(kOk), std::string("SK-A,SK-B,sk.c_2")));
  fs::remove(StoreFile("SK-B"));
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetPrintNumber(o, l); }),
            std::pair(int32_t(kOk), std::string("SK-A,sk.c_2")));
}

TEST_F(StoreTest, InitUKeyResetsEverythingOfAnExistingKey) {
  Cert cert = Enrol("SK0001");
  ASSERT_EQ(d.SetLabel("SK0001", "Work key"), kOk);
  ASSERT_EQ(d.SetData("SK0001", 3, "remember me"), kOk);
  Answer("new", "654321");
  Answer("confirm", "654321");
  ASSERT_EQ(d.ChangePin("SK0001"), kOk);

  ASSERT_EQ(d.InitUKey("SK0001"), kOk);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetLabel("SK0001", o, l); }).second, "SK0001");
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetData("SK0001", 3, o, l); }), std::pair(int32_t(kOk), std::string()));
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 1, 1, o, l); }).first, kNoCert);
  auto [code, info] = Out([&](char* o, int32_t* l) { return d.GetPinInfo("SK0001", o, l); });
  EXPECT_NE(info.find("\"defaultPin\":true"), std::string::npos) << info;
  EXPECT_NE(info.find("\"cached\":false"), std::string::npos) << info;
  // The default PIN works again.
  Answer("current", "123456");
  EXPECT_EQ(d.VerifyPIN("SK0001"), kOk);
}

TEST_F(StoreTest, SerialsThatAreNotPlainNamesAreRefused) {
  const std::string tooLong(65, 'A');
  for (const std::string& serial : {std::string(), std::string(".key"), std::string("a/b"), std::string("../x"),
                                    std::string("x y"), std::string("\xE5\xBC\xA0"), tooLong}) {
    SCOPED_TRACE(serial);
    EXPECT_EQ(d.InitUKey(serial.c_str()), kInvalidSerial);
    EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetLabel(serial.c_str(), o, l); }).first, kInvalidSerial);
  }
  EXPECT_EQ(d.InitUKey(std::string(64, 'A').c_str()), kOk);
  EXPECT_EQ(d.InitUKey(nullptr), kInvalidArgument);
  EXPECT_EQ(FolderEntries(store_), (std::set<std::string>{std::string(64, 'A') + ".key", ".lock"}));
}

TEST_F(StoreTest, KeysThatDoNotExistAnswerKeyNotFound) {
  NewKey("SK0001");
  Answer("current", "123456");
  std::vector<char> buffer(1 << 20);
  int32_t len = static_cast<int32_t>(buffer.size());
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetLabel("SK0002", o, l); }).first, kKeyNotFound);
  EXPECT_EQ(d.SetLabel("SK0002", "x"), kKeyNotFound);
  EXPECT_EQ(d.VerifyPIN("SK0002"), kKeyNotFound);
  EXPECT_EQ(d.Sign("SK0002", 1, 0, "data", "", buffer.data(), &len), kKeyNotFound);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0002", 1, 1, o, l); }).first, kKeyNotFound);
  EXPECT_TRUE(Calls().empty());
  EXPECT_FALSE(fs::exists(StoreFile("SK0002")));
}

TEST_F(StoreTest, LabelCharsetLanguageAndDataAreKeptPerKey) {
  NewKey("SK0001");
  NewKey("SK0002");
  ASSERT_EQ(d.SetLabel("SK0001", "\xE5\xB7\xA5\xE4\xBD\x9C"), kOk);  // "工作"
  ASSERT_EQ(d.SetCharset("SK0001", "gbk"), kOk);
  ASSERT_EQ(d.SetLanguage("SK0001", "en-us"), kOk);
  ASSERT_EQ(d.SetData("SK0001", 0, "zero"), kOk);
  ASSERT_EQ(d.SetData("SK0001", 7, std::string(4096, 'x').c_str()), kOk);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetLabel("SK0001", o, l); }).second, "\xE5\xB7\xA5\xE4\xBD\x9C");
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetData("SK0001", 0, o, l); }).second, "zero");
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetData("SK0001", 7, o, l); }).second, std::string(4096, 'x'));
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetData("SK0002", 0, o, l); }), std::pair(int32_t(kOk), std::string()));
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetLabel("SK0002", o, l); }).second, "SK0002");
  EXPECT_EQ(d.GetFirewareData("SK0001", 1).rfind(
                R"({"serial":"SK0001","label":"工作","charset":"GBK","language":"en_US","created":")", 0),
            0u);
}

TEST_F(StoreTest, SettingsOutsideTheirRulesAreRefusedAndChangeNothing) {
  NewKey("SK0001");
  struct Row {
    const char* what;
    int32_t code;
    int32_t expected;
  };
  const Row rows[] = {
      {"empty label", d.SetLabel("SK0001", ""), kInvalidArgument},
      {"label with a line feed", d.SetLabel("SK0001", "a\nb"), kInvalidArgument},
      {"label of broken UTF-8", d.SetLabel("SK0001", "\xE5\xB7"), kInvalidArgument},
      {"label of 65 bytes", d.SetLabel("SK0001", std::string(65, 'L').c_str()), kDataTooLarge},
      {"null label", d.SetLabel("SK0001", nullptr), kInvalidArgument},
      {"unknown charset", d.SetCharset("SK0001", "EBCDIC"), kInvalidArgument},
      {"malformed language", d.SetLanguage("SK0001", "chinese"), kInvalidArgument},
      {"language with a long region", d.SetLanguage("SK0001", "zh_CHN"), kInvalidArgument},
      {"slot -1", d.SetData("SK0001", -1, "x"), kInvalidArgument},
      {"slot 8", d.SetData("SK0001", 8, "x"), kInvalidArgument},
      {"4097 bytes of data", d.SetData("SK0001", 0, std::string(4097, 'x').c_str()), kDataTooLarge},
  };
  for (const Row& row : rows) EXPECT_EQ(row.code, row.expected) << row.what;
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetData("SK0001", 8, o, l); }).first, kInvalidArgument);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetLabel("SK0001", o, l); }).second, "SK0001");
  EXPECT_NE(d.GetFirewareData("SK0001", 1).find(R"("charset":"UTF-8","language":"zh_CN")"), std::string::npos);
}

TEST_F(StoreTest, WritesLeaveNoTemporaryFileBehind) {
  NewKey("SK0001");
  ASSERT_EQ(d.SetLabel("SK0001", "one"), kOk);
  ASSERT_EQ(d.SetData("SK0001", 1, "two"), kOk);
  Enrol("SK0002");
  EXPECT_EQ(FolderEntries(store_), (std::set<std::string>{"SK0001.key", "SK0002.key", ".lock"}));
}

TEST_F(StoreTest, TemporaryFilesOfAnInterruptedWriteAreClearedByTheNextWrite) {
  NewKey("SK0001");
  // What a write that stopped before its rename leaves: a partial copy.
  std::string partial = ReadFile(StoreFile("SK0001")).substr(0, 40);
  WriteFile(store_ / ".SK0001.key.tmp-a1b2c3", partial);
  WriteFile(store_ / ".SK0009.key.tmp-d4e5f6", partial);
  // The key itself is whole, and the partial copy is not a key.
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetPrintNumber(o, l); }).second, "SK0001");
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetLabel("SK0001", o, l); }).second, "SK0001");
  ASSERT_EQ(d.SetLabel("SK0001", "after"), kOk);
  EXPECT_EQ(FolderEntries(store_), (std::set<std::string>{"SK0001.key", ".lock"}));

  WriteFile(store_ / ".SK0001.key.tmp-zzzzzz", partial);
  ASSERT_EQ(d.RepairDriver(), kOk);
  EXPECT_EQ(FolderEntries(store_), (std::set<std::string>{"SK0001.key", ".lock"}));
}

TEST_F(StoreTest, AStoreDamagedOnDiskIsReportedAndChangesNoOtherKey) {
  NewKey("SK0001");
  NewKey("SK0002");
  const std::string whole = ReadFile(StoreFile("SK0001"));
  std::string flipped = whole;
  flipped[whole.find("label=") + 7] ^= 1;
  const std::string damaged[] = {whole.substr(0, whole.size() / 2), whole.substr(0, whole.size() - 1), flipped,
                                 std::string()};
  for (const std::string& text : damaged) {
    WriteFile(StoreFile("SK0001"), text);
    EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetLabel("SK0001", o, l); }).first, kStoreCorrupt);
    // A change is refused rather than written over the damage.
    EXPECT_EQ(d.SetLabel("SK0001", "x"), kStoreCorrupt);
    EXPECT_EQ(ReadFile(StoreFile("SK0001")), text);
  }
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetLabel("SK0002", o, l); }).second, "SK0002");
  // InitUKey is the way back.
  ASSERT_EQ(d.InitUKey("SK0001"), kOk);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetLabel("SK0001", o, l); }).second, "SK0001");
}

TEST_F(StoreTest, ConcurrentChangesFromManyThreadsAreNeverLost) {
  const char* serials[] = {"SK-A", "SK-B"};
  for (const char* serial : serials) NewKey(serial);
  // Each thread owns one data slot of each key and writes it many times while
  // the others write theirs: a read-modify-write without the lock loses
  // slots.
  std::vector<std::thread> threads;
  for (int slot = 0; slot < 8; ++slot) {
    threads.emplace_back([&, slot] {
      for (int round = 0; round < 15; ++round) {
        for (const char* serial : serials) {
          std::string value = "slot" + std::to_string(slot) + "-" + std::to_string(round);
          EXPECT_EQ(d.SetData(serial, slot, value.c_str()), kOk);
          std::vector<char> out(64);
          int32_t len = 64;
          EXPECT_EQ(d.GetLabel(serial, out.data(), &len), kOk);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const char* serial : serials) {
    for (int slot = 0; slot < 8; ++slot) {
      EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetData(serial, slot, o, l); }).second,
                "slot" + std::to_string(slot) + "-14")
          << serial << " slot " << slot;
    }
  }
  EXPECT_EQ(FolderEntries(store_), (std::set<std::string>{"SK-A.key", "SK-B.key", ".lock"}));
}

}  // namespace
}  // namespace softkey_test
