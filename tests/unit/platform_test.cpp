// Dates, bundles, the install root and the user, as the platform layer sees them.

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/bundle.h"
#include "platform/date_format.h"
#include "platform/install_root.h"
#include "platform/user.h"

namespace {

namespace fs = std::filesystem;

// --- Dates ----------------------------------------------------------------------

// Sets the time zone for one test and restores the previous one.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    const char* previous = std::getenv("TZ");
    had_ = previous != nullptr;
    if (had_) previous_ = previous;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (had_) {
      setenv("TZ", previous_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string previous_;
};

TEST(FormatLogDate, WritesMonthDayAndTwentyFourHourClockInLocalTime) {
  struct Row {
    const char* zone;
    std::time_t when;
    const char* text;
  };
  const Row rows[] = {
      {"UTC0", 1639069503, "12-09 17:05:03"},  // 2021-12-09 17:05:03 UTC
      {"UTC0", 1704164645, "01-02 03:04:05"},
      {"UTC0", 1704067199, "12-31 23:59:59"},
      {"CST-8", 1639069503, "12-10 01:05:03"},  // eight hours east: the next day
      {"EST5", 1704164645, "01-01 22:04:05"},   // five hours west: the day before
  };
  for (const Row& row : rows) {
    TimeZone zone(row.zone);
    EXPECT_EQ(platform::FormatLogDate(row.when), row.text) << row.zone << " " << row.when;
  }
}

// --- Install root and user --------------------------------------------------------

TEST(InstallRoot, IsTheBuildsRootInFrontOfEveryPath) {
  EXPECT_EQ(platform::InstallRoot(), TEST_INSTALL_ROOT);
  EXPECT_EQ(platform::RootedPath("/Library/Application Support/Vasquill/"),
            std::string(TEST_INSTALL_ROOT) + "/Library/Application Support/Vasquill/");
}

TEST(User, NameAndHomeComeFromThePasswordDatabase) {
  const passwd* entry = getpwuid(geteuid());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(platform::UserName(), entry->pw_name);
  EXPECT_EQ(platform::HomeDirectory(), entry->pw_dir);
  EXPECT_FALSE(platform::UserName().empty());
}

// --- Bundles -----------------------------------------------------------------------

TEST(Bundle, KeepsTheApplicationLayout) {
  struct Row {
    std::string bundle;
    std::string name;
  };
  const Row rows[] = {
      {"/Applications/Vasquill.app", "Vasquill"},
      {"/Applications/Trelmoss.app", "Trelmoss"},
      {"/opt/my apps/Tarven Uninstall Server.app", "Tarven Uninstall Server"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(platform::BundleName(row.bundle), row.name);
    EXPECT_EQ(platform::BundleExecutablePath(row.bundle), row.bundle + "/Contents/MacOS/" + row.name);
    EXPECT_EQ(platform::BundleResourcesPath(row.bundle), row.bundle + "/Contents/Resources");
  }
}

TEST(Bundle, ExecutablePathIsTheRunningProgram) {
  EXPECT_EQ(platform::ExecutablePath(), fs::canonical("/proc/self/exe").string());
}

// Runs the probe program at a path and returns what it printed.
std::string RunProbe(const std::string& path) {
  const std::string command = "'" + path + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return "";
  std::string output;
  char chunk[512];
  size_t read = 0;
  while ((read = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0) output.append(chunk, read);
  return output;
}

TEST(Bundle, MainBundleIsFoundFromTheExecutable) {
  const std::string root(platform::InstallRoot());
  ASSERT_FALSE(root.empty()) << "the unit tests need a build with VASQUILL_ROOT set";
  const fs::path top = fs::path(root) / ("bundle-test-" + std::to_string(getpid()));
  const fs::path bundle = top / "Probe App.app";
  fs::create_directories(bundle / "Contents/MacOS");
  fs::copy_file(BUNDLE_PROBE, bundle / "Contents/MacOS/Probe App");
  fs::create_directories(top / "loose");
  fs::copy_file(BUNDLE_PROBE, top / "loose/probe");

  // Inside a bundle: the bundle.  Elsewhere: the executable's own folder.
  EXPECT_EQ(RunProbe((bundle / "Contents/MacOS/Probe App").string()),
            bundle.string() + "\n" + (bundle / "Contents/MacOS/Probe App").string() + "\n");
  EXPECT_EQ(RunProbe((top / "loose/probe").string()),
            (top / "loose").string() + "\n" + (top / "loose/probe").string() + "\n");

  fs::remove_all(top);
}

}  // namespace
