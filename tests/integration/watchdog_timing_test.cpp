// The watchdog's behaviour over time, with a build of it that watches the
// name "Quillprobe", opens a bundle in this build folder and waits 1 s at
// start, 2 s while the application runs and 4 s after opening it.  The
// application is a script that notes each launch and then becomes a quiet
// program named Quillprobe.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/login_items.h"
#include "tests/integration/process_tools.h"

namespace fs = std::filesystem;
using namespace process_tools;
using namespace std::chrono_literals;

namespace {

constexpr char kWatchdog[] = QUICK_WATCHDOG;        // its executable
constexpr char kApplication[] = QUICK_APPLICATION;  // the bundle it opens
constexpr char kWork[] = QUICK_WORK;                // everything else
constexpr char kSleeper[] = TEST_SLEEPER;           // a program that only waits

constexpr double kInitialDelay = 1;
constexpr double kRunningInterval = 2;
constexpr double kLaunchPause = 4;
// What a launch or a check may be late by on a busy machine.
constexpr double kSlack = 0.8;

class WatchdogTiming : public ::testing::Test {
 protected:
  void SetUp() override {
    BecomeSubreaper();
    fs::remove_all(kWork);
    fs::remove_all(kApplication);
    fs::create_directories(kWork);
    InstallFile(kSleeper, Program());
  }

  void TearDown() override {
    watchdog_.Kill();
    decoys_.clear();
    KillChildrenRunning({Program()});
    ReapEnded();
    EXPECT_EQ(ReadFile(std::string(kWork) + "/watchdog.out"), "") << "the watchdog printed";
    EXPECT_EQ(ReadFile(std::string(kWork) + "/watchdog.err"), "") << "the watchdog printed";
    fs::remove(LoginItem());
  }

  static std::string Program() { return std::string(kWork) + "/bin/Quillprobe"; }
  static std::string LaunchLog() { return std::string(kWork) + "/launches"; }
  static std::string LoginItem() { return platform::AutostartDirectory() + "/QuillprobeService.desktop"; }

  // Puts the application bundle in place.
  static void InstallApplication() {
    WriteFile(std::string(kApplication) + "/Contents/MacOS/Quillprobe",
              "#!/bin/sh\necho launched >> '" + LaunchLog() + "'\nexec '" + Program() + "'\n", 0755);
  }

  void StartWatchdog() {
    Child::Options options;
    options.outputFile = std::string(kWork) + "/watchdog.out";
    options.errorFile = std::string(kWork) + "/watchdog.err";
    started_ = Clock::now();
    watchdog_ = Child({kWatchdog}, options);
    ASSERT_TRUE(watchdog_.Started());
  }

  // A quiet program with the given executable name, outside the bundle.
  void StartDecoy(const std::string& name) {
    std::string path = std::string(kWork) + "/decoys/" + name + "/" + name;
    InstallFile(kSleeper, path);
    decoys_.emplace_back(std::vector<std::string>{path}, Child::Options{});
    ASSERT_TRUE(WaitUntil([&] { return !ChildrenRunning(path).empty(); }, 2s)) << name;
  }

  static int Launches() {
    std::string log = ReadFile(LaunchLog());
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
  }

  // Seconds since the watchdog started at which the count of launches
  // reached n, or a negative number when it did not within the limit.
  double WaitForLaunches(int n, std::chrono::milliseconds limit) {
    if (!WaitUntil([n] { return Launches() >= n; }, limit)) return -1;
    return SecondsSince(started_);
  }

  bool ApplicationRunning() { return !ChildrenRunning(Program()).empty(); }

  void SleepUntil(double secondsAfterStart) {
    std::this_thread::sleep_until(started_ + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(secondsAfterStart)));
  }

  Child watchdog_;
  std::vector<Child> decoys_;
  Clock::time_point started_;
};

TEST_F(WatchdogTiming, OpensTheApplicationAfterTheInitialDelayAndLeavesItRunning) {
  InstallApplication();
  StartWatchdog();
  double launched = WaitForLaunches(1, 5s);
  ASSERT_GT(launched, 0) << "the application was not opened";
  EXPECT_GE(launched, kInitialDelay - 0.1);
  EXPECT_LE(launched, kInitialDelay + kSlack);
  EXPECT_TRUE(WaitUntil([&] { return ApplicationRunning(); }, 2s));

  // While it runs, the checks every 2 s open nothing more.
  SleepUntil(launched + 2 * kRunningInterval + 0.5);
  EXPECT_EQ(Launches(), 1);
  EXPECT_TRUE(ApplicationRunning());
}

TEST_F(WatchdogTiming, AProcessOfTheWatchedNameAnywhereCountsAsRunning) {
  InstallApplication();
  StartDecoy("Quillprobe");
  StartWatchdog();
  SleepUntil(kInitialDelay + kRunningInterval + 0.5);
  EXPECT_EQ(Launches(), 0) << "opened although a process named Quillprobe runs";

  // Once it is gone, the next check opens the application.
  decoys_.clear();
  Clock::time_point ended = Clock::now();
  ASSERT_GT(WaitForLaunches(1, 5s), 0);
  EXPECT_LE(SecondsSince(ended), kRunningInterval + kSlack);
}

TEST_F(WatchdogTiming, NamesThatOnlyResembleTheWatchedNameDoNotCount) {
  InstallApplication();
  for (const char* name : {"quillprobe", "QUILLPROBE", "QuillprobeX", "XQuillprobe", "Quillprob", "Quillprobe.app"}) {
    StartDecoy(name);
  }
  StartWatchdog();
  double launched = WaitForLaunches(1, 5s);
  ASSERT_GT(launched, 0) << "a process with a resembling name was taken for the application";
  EXPECT_LE(launched, kInitialDelay + kSlack);
}

TEST_F(WatchdogTiming, OpensTheApplicationAgainAfterItEndsAndPausesAfterOpening) {
  InstallApplication();
  StartWatchdog();
  double first = WaitForLaunches(1, 5s);
  ASSERT_GT(first, 0);
  ASSERT_TRUE(WaitUntil([&] { return ApplicationRunning(); }, 2s));

  // Ended at once: the next check comes only after the pause that follows
  // an opening.
  KillChildrenRunning({Program()});
  double second = WaitForLaunches(2, 8s);
  ASSERT_GT(second, 0) << "not opened again";
  EXPECT_GE(second - first, kLaunchPause - 0.3);
  EXPECT_LE(second - first, kLaunchPause + kSlack);
  ASSERT_TRUE(WaitUntil([&] { return ApplicationRunning(); }, 2s));

  // Ended while it has been running for a while: the next regular check,
  // at most 2 s later, opens it again.
  SleepUntil(second + kLaunchPause + 0.7);
  KillChildrenRunning({Program()});
  Clock::time_point ended = Clock::now();
  ASSERT_GT(WaitForLaunches(3, 6s), 0) << "not opened again";
  EXPECT_LE(SecondsSince(ended), kRunningInterval + kSlack);
}

TEST_F(WatchdogTiming, KeepsOpeningAMissingBundleAfterEveryPause) {
  // Attempts at 1 s and 5 s find no bundle; the one at 9 s finds it.
  StartWatchdog();
  SleepUntil(kInitialDelay + kLaunchPause + 1);
  ASSERT_TRUE(watchdog_.Running()) << "the watchdog ended after a failed opening";
  EXPECT_EQ(Launches(), 0);
  InstallApplication();
  double launched = WaitForLaunches(1, 6s);
  ASSERT_GT(launched, 0) << "the bundle was not tried again";
  EXPECT_GE(launched, kInitialDelay + 2 * kLaunchPause - 0.3);
  EXPECT_LE(launched, kInitialDelay + 2 * kLaunchPause + kSlack);
}

TEST_F(WatchdogTiming, RegistersItsLoginItemAtEveryStart) {
  InstallApplication();
  fs::remove(LoginItem());
  for (int start = 0; start < 2; ++start) {
    StartWatchdog();
    ASSERT_TRUE(WaitUntil([] { return fs::exists(LoginItem()); }, 2s)) << "start " << start;
    std::string bundle = fs::path(kWatchdog).parent_path().parent_path().parent_path().string();
    EXPECT_NE(ReadFile(LoginItem()).find("Exec=\"" + bundle + "/Contents/MacOS/QuillprobeService\""),
              std::string::npos)
        << ReadFile(LoginItem());
    watchdog_.Kill();
    fs::remove(LoginItem());
  }
}

}  // namespace
