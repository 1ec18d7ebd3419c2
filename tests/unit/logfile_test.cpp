// The service's copy of the log facility (file "log.sh", switch off at load).
// Its folder lies inside the test build's install root; every test starts
// without it and removes it again.

#include "logfile/logfile.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "platform/date_format.h"
#include "platform/install_root.h"
#include "platform/user.h"

namespace {

namespace fs = std::filesystem;

// The switch as the process loaded it, before any test ran.
const bool kSwitchAtLoad = getlogSwitch();

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string root(platform::InstallRoot());
    home_ = platform::HomeDirectory();
    // Never remove anything outside the build's own install root.
    ASSERT_FALSE(root.empty()) << "the unit tests need a build with VASQUILL_ROOT set";
    ASSERT_FALSE(home_.empty());
    if (home_.back() == '/') home_.pop_back();
    ASSERT_EQ(LogDirectory(), root + home_ + "/Library/Caches/Halvorn/TARVEN/");
    ASSERT_EQ(LogFilePath(), LogDirectory() + "log.sh");
    top_ = root + home_ + "/Library/Caches/Halvorn";
    RemoveFolder();
    setlogSwitch(false);
  }

  void TearDown() override {
    setlogSwitch(false);
    RemoveFolder();
  }

  void RemoveFolder() {
    std::error_code error;
    fs::remove_all(top_, error);
    ASSERT_FALSE(fs::exists(top_));
  }

  // An existing log file with the given contents, made behind the facility's back.
  void MakeLogFile(const std::string& contents) {
    fs::create_directories(LogDirectory());
    WriteAll(LogFilePath(), contents);
  }

  std::string home_;
  std::string top_;
};

TEST(LogSwitch, IsOffWhenTheServiceLoads) { EXPECT_FALSE(kSwitchAtLoad); }

TEST(LogSwitch, SetReturnsAndKeepsTheNewValue) {
  EXPECT_TRUE(setlogSwitch(true));
  EXPECT_TRUE(getlogSwitch());
  EXPECT_FALSE(setlogSwitch(false));
  EXPECT_FALSE(getlogSwitch());
}

TEST_F(LogFileTest, SwitchOffTouchesNothingOnDisk) {
  CreateFile("开始，日志版本v1.0.1.0\n");
  logFile("message");
  slogFile("text");
  EXPECT_FALSE(fs::exists(top_));

  MakeLogFile("kept\n");
  CreateFile("first\n");
  logFile("message");
  slogFile("text");
  EXPECT_EQ(ReadAll(LogFilePath()), "kept\n");
}

TEST_F(LogFileTest, CreateFileMakesTheFolderChainAndWritesExactlyTheFirstLine) {
  // The whole chain below the home folder, when the home folder is not "/".
  if (!home_.empty()) fs::remove_all(std::string(platform::InstallRoot()) + home_ + "/Library");
  setlogSwitch(true);
  CreateFile("开始，日志版本v1.0.1.0\n");
  EXPECT_TRUE(fs::is_directory(LogDirectory()));
  EXPECT_EQ(ReadAll(LogFilePath()), "开始，日志版本v1.0.1.0\n");
}

TEST_F(LogFileTest, CreateFileReplacesAnExistingFile) {
  MakeLogFile(std::string(10000, 'o') + "\n");
  setlogSwitch(true);
  CreateFile("first\n");
  EXPECT_EQ(ReadAll(LogFilePath()), "first\n");
  CreateFile("");
  EXPECT_TRUE(fs::exists(LogFilePath()));
  EXPECT_EQ(ReadAll(LogFilePath()), "");
}

TEST_F(LogFileTest, NothingIsWrittenBeforeTheFileExists) {
  setlogSwitch(true);
  logFile("message");
  slogFile("text");
  EXPECT_FALSE(fs::exists(top_));

  // The folder alone is not enough: logFile never creates the file.
  fs::create_directories(LogDirectory());
  logFile("message");
  slogFile("text");
  EXPECT_FALSE(fs::exists(LogFilePath()));
}

TEST_F(LogFileTest, LogFileAppendsTimeStampedLines) {
  setlogSwitch(true);
  CreateFile("first\n");
  const std::time_t before = std::time(nullptr);
  logFile("abc");
  logFile("中文 message");
  logFile("");
  const std::time_t after = std::time(nullptr);

  const std::string contents = ReadAll(LogFilePath());
  const std::regex pattern(
      "first\n"
      "\\[(\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\\]abc\n"
      "\\[(\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\\]中文 message\n"
      "\\[(\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\\]\n");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(contents, match, pattern)) << contents;

  // Each stamp is the local time of a moment during the calls.
  std::set<std::string> moments;
  for (std::time_t when = before; when <= after; ++when) moments.insert(platform::FormatLogDate(when));
  for (size_t i = 1; i < match.size(); ++i) EXPECT_TRUE(moments.count(match[i].str())) << match[i].str();
}

TEST_F(LogFileTest, FormatDirectivesAreWrittenLiterally) {
  setlogSwitch(true);
  CreateFile("");
  logFile("strPostData：%s %@ %d %n %%");
  slogFile("%s%@%n%x");
  const std::string contents = ReadAll(LogFilePath());
  std::regex pattern("\\[\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]strPostData：%s %@ %d %n %%\n%s%@%n%x\n");
  EXPECT_TRUE(std::regex_match(contents, pattern)) << contents;
}

TEST_F(LogFileTest, SlogFileAppendsTextWithoutAStamp) {
  setlogSwitch(true);
  CreateFile("first\n");
  slogFile("one");
  slogFile("");
  slogFile("三");
  slogFile(nullptr);
  EXPECT_EQ(ReadAll(LogFilePath()), "first\none\n\n三\n");
}

TEST_F(LogFileTest, AppendsToAFileMadeByOthersAndStopsWhenSwitchedOff) {
  MakeLogFile("made elsewhere\n");
  setlogSwitch(true);
  slogFile("on");
  setlogSwitch(false);
  slogFile("off");
  logFile("off");
  EXPECT_EQ(ReadAll(LogFilePath()), "made elsewhere\non\n");
}

TEST_F(LogFileTest, UnusableFolderIsSilent) {
  // A plain file where the log folder should be.
  fs::create_directories(top_);
  WriteAll(top_ + "/TARVEN", "not a folder");
  setlogSwitch(true);
  CreateFile("first\n");
  logFile("message");
  slogFile("text");
  EXPECT_EQ(ReadAll(top_ + "/TARVEN"), "not a folder");
}

}  // namespace
