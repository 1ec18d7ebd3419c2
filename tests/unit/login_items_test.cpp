// Login items are XDG autostart entries in the autostart folder under the
// test build's install root.  Each test uses an application name of its own
// and removes its entry again.

#include "platform/login_items.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "platform/install_root.h"
#include "platform/user.h"

namespace {

namespace fs = std::filesystem;

// Rows print as their name in test output.
template <typename Row>
  requires requires(const Row& row) { row.name; }
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class LoginItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string root(platform::InstallRoot());
    ASSERT_FALSE(root.empty()) << "the unit tests need a build with VASQUILL_ROOT set";
    std::string home = platform::HomeDirectory();
    ASSERT_FALSE(home.empty());
    if (home.back() == '/') home.pop_back();
    ASSERT_EQ(platform::AutostartDirectory(), root + home + "/.config/autostart");
    directory_ = platform::AutostartDirectory();
  }

  // The entry of a bundle "Name.app", removed before and after the test.
  fs::path Entry(const std::string& name) {
    fs::path path = fs::path(directory_) / (name + ".desktop");
    std::error_code error;
    fs::remove_all(path, error);
    fs::remove(path.string() + ".new", error);
    made_.push_back(path);
    return path;
  }

  void TearDown() override {
    std::error_code error;
    for (const fs::path& path : made_) {
      fs::remove_all(path, error);
      fs::remove(path.string() + ".new", error);
    }
  }

  std::string directory_;
  std::vector<fs::path> made_;
};

std::string ExpectedEntry(const std::string& name, const std::string& execQuoted) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=" + name + "\n"
         "Exec=" + execQuoted + "\n"
         "Terminal=false\n"
         "NoDisplay=true\n"
         "X-GNOME-Autostart-enabled=true\n";
}

struct EntryCase {
  const char* name;
  std::string folder;  // where the bundle lies
  std::string app;     // the bundle's name without ".app"
  std::string nameValue;
  std::string execValue;
};

// Exec quoting: the path in double quotes, a backslash before '"', '`', '$'
// and '\', "%" doubled; then the string escapes double every backslash, so a
// backslash in the path takes four.
const EntryCase kEntries[] = {
    {"Plain", "/Applications", "LoginItemTest Vasquill", "LoginItemTest Vasquill",
     R"("/Applications/LoginItemTest Vasquill.app/Contents/MacOS/LoginItemTest Vasquill")"},
    {"SpaceAndPercent", "/opt/my apps", "LoginItemTest 100%", "LoginItemTest 100%",
     R"("/opt/my apps/LoginItemTest 100%%.app/Contents/MacOS/LoginItemTest 100%%")"},
    {"ShellCharacters", R"(/opt/we$ird "q" `b` \back)", "LoginItemTest Shell", "LoginItemTest Shell",
     R"("/opt/we\\$ird \\"q\\" \\`b\\` \\\\back/LoginItemTest Shell.app/Contents/MacOS/LoginItemTest Shell")"},
    {"BackslashInName", "/opt", R"(LoginItemTest Back\slash)", R"(LoginItemTest Back\\slash)",
     R"("/opt/LoginItemTest Back\\\\slash.app/Contents/MacOS/LoginItemTest Back\\\\slash")"},
    {"TabAndLineFeed", "/opt/tab\there/new\nline", "LoginItemTest Controls", "LoginItemTest Controls",
     R"("/opt/tab\there/new\nline/LoginItemTest Controls.app/Contents/MacOS/LoginItemTest Controls")"},
};

class LoginItemEntry : public LoginItemTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(LoginItemEntry, WritesADesktopEntryWithTheQuotedExecutable) {
  const fs::path entry = Entry(GetParam().app);
  ASSERT_TRUE(platform::InsertLoginItem(GetParam().folder + "/" + GetParam().app + ".app"));
  EXPECT_EQ(ReadAll(entry), ExpectedEntry(GetParam().nameValue, GetParam().execValue));
}

INSTANTIATE_TEST_SUITE_P(Paths, LoginItemEntry, ::testing::ValuesIn(kEntries),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoginItemTest, RewritingIsIdempotent) {
  const fs::path entry = Entry("LoginItemTest Again");
  ASSERT_TRUE(platform::InsertLoginItem("/Applications/LoginItemTest Again.app"));
  const std::string first = ReadAll(entry);
  struct stat before {};
  ASSERT_EQ(stat(entry.c_str(), &before), 0);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(platform::InsertLoginItem("/Applications/LoginItemTest Again.app"));
  struct stat after {};
  ASSERT_EQ(stat(entry.c_str(), &after), 0);
  EXPECT_EQ(ReadAll(entry), first);
  EXPECT_EQ(after.st_ino, before.st_ino);  // left as it was, not written again
  EXPECT_FALSE(fs::exists(entry.string() + ".new"));
}

TEST_F(LoginItemTest, ReplacesAnOlderEntryOfTheSameName) {
  const fs::path entry = Entry("LoginItemTest Moved");
  ASSERT_TRUE(platform::InsertLoginItem("/old/place/LoginItemTest Moved.app"));
  ASSERT_TRUE(platform::InsertLoginItem("/new/place/LoginItemTest Moved.app"));
  EXPECT_EQ(ReadAll(entry),
            ExpectedEntry("LoginItemTest Moved", "\"/new/place/LoginItemTest Moved.app/Contents/MacOS/LoginItemTest Moved\""));
  EXPECT_FALSE(fs::exists(entry.string() + ".new"));
}

TEST_F(LoginItemTest, FailsQuietlyWhenTheEntryCannotBeWritten) {
  const fs::path entry = Entry("LoginItemTest Blocked");
  fs::create_directories(entry / "occupied");  // a folder where the entry should go
  EXPECT_FALSE(platform::InsertLoginItem("/Applications/LoginItemTest Blocked.app"));
  EXPECT_TRUE(fs::is_directory(entry / "occupied"));
  EXPECT_FALSE(fs::exists(entry.string() + ".new"));
}

TEST_F(LoginItemTest, EmptyBundlePathIsRefused) { EXPECT_FALSE(platform::InsertLoginItem("")); }

}  // namespace
