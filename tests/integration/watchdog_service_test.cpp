// The watchdogs as they are installed: VasquillService and TrelmossService
// with their real names, paths and timings, run from the install root of this
// build, which the tests stage with this build's programs.  They start
// processes named Vasquill that take ports 5110-5114, so they run alone.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/install_root.h"
#include "platform/login_items.h"
#include "tests/integration/process_tools.h"

namespace fs = std::filesystem;
using namespace process_tools;
using namespace std::chrono_literals;

namespace {

constexpr char kWork[] = SERVICE_WATCHDOG_WORK;  // decoys and output files
constexpr char kSleeper[] = TEST_SLEEPER;        // a program that only waits

// What starting a program may take beyond the watchdog's own waits.
constexpr double kStartAllowance = 4;

std::string Executable(const std::string& name) {
  return platform::RootedPath("/Applications/" + name + ".app/Contents/MacOS/" + name);
}

// Installs a file of this build at its place in the install root, unless an
// equal one is there; a changed one is replaced by renaming, so that nothing
// running from the root ever sees half a file.
void Stage(const std::string& built, const std::string& installed) {
  if (fs::exists(installed) && ReadFile(built) == ReadFile(installed)) return;
  std::string temporary = installed + ".staging";
  InstallFile(built, temporary);
  fs::rename(temporary, installed);
}

class WatchdogService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Stage(BUILT_SERVICE, Executable("Vasquill"));
    Stage(BUILT_VASQUILL_SERVICE, Executable("VasquillService"));
    Stage(BUILT_TRELMOSS_SERVICE, Executable("TrelmossService"));
    Stage(BUILT_COMPANION, Executable("Trelmoss"));
    Child provision({BUILT_PROVISION, "tls"}, {});
    std::optional<int> status = provision.Wait(60s);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "TLS material not provisioned";
  }

  void SetUp() override {
    BecomeSubreaper();
    fs::remove_all(kWork);
    fs::create_directories(kWork);
  }

  void TearDown() override {
    watchdog_.Kill();
    decoys_.clear();
    KillChildrenRunning({Executable("Vasquill"), Executable("Trelmoss")});
    ReapEnded();
    EXPECT_EQ(ReadFile(std::string(kWork) + "/watchdog.out"), "") << "the watchdog printed";
    EXPECT_EQ(ReadFile(std::string(kWork) + "/watchdog.err"), "") << "the watchdog printed";
  }

  // No process of the watched name may run elsewhere, or nothing is opened.
  static void AwaitNoProcessNamed(const std::string& name) {
    ASSERT_TRUE(WaitUntil([&] { return ProcessesNamed(name).empty(); }, 60s))
        << "a process named " << name << " that this test did not start keeps running";
  }

  void StartWatchdog(const std::string& name) {
    Child::Options options;
    options.outputFile = std::string(kWork) + "/watchdog.out";
    options.errorFile = std::string(kWork) + "/watchdog.err";
    started_ = Clock::now();
    watchdog_ = Child({Executable(name)}, options);
    ASSERT_TRUE(watchdog_.Started());
  }

  void StartDecoy(const std::string& name) {
    std::string path = std::string(kWork) + "/decoys/" + name;
    InstallFile(kSleeper, path);
    decoys_.emplace_back(std::vector<std::string>{path}, Child::Options{});
    ASSERT_TRUE(WaitUntil([&] { return !ChildrenRunning(path).empty(); }, 2s)) << name;
  }

  // The service opened by the watchdog, once it listens on its port: its
  // process and port, or {0, 0} when it did not within the limit.
  static std::pair<pid_t, int> AwaitService(std::chrono::milliseconds limit) {
    std::pair<pid_t, int> found{0, 0};
    WaitUntil(
        [&] {
          for (pid_t pid : ChildrenRunning(Executable("Vasquill"))) {
            int port = ListeningPort(pid, 5110, 5114);
            if (port != 0) {
              found = {pid, port};
              return true;
            }
          }
          return false;
        },
        limit);
    return found;
  }

  static void ExpectLoginItem(const std::string& name) {
    std::string entry = ReadFile(platform::AutostartDirectory() + "/" + name + ".desktop");
    EXPECT_NE(entry.find("Exec=\"" + Executable(name) + "\""), std::string::npos) << entry;
  }

  Child watchdog_;
  std::vector<Child> decoys_;
  Clock::time_point started_;
};

TEST_F(WatchdogService, VasquillServiceOpensTheServiceAndOpensItAgainAfterItIsKilled) {
  AwaitNoProcessNamed("Vasquill");
  // Processes whose names only resemble the service's do not count.
  StartDecoy("vasquill");
  StartDecoy("VasquillX");

  StartWatchdog("VasquillService");
  auto [service, port] = AwaitService(std::chrono::milliseconds(static_cast<int>((3 + kStartAllowance) * 1000)));
  double up = SecondsSince(started_);
  ASSERT_NE(service, 0) << "the service was not opened and listening within 3 s and its start";
  EXPECT_GE(up, 2.9) << "opened before the first check, 3 s after start";
  ExpectLoginItem("VasquillService");
  // The service registers its own login item when it starts.
  ExpectLoginItem("Vasquill");

  // After opening it the watchdog pauses 20 s; from then on it checks every
  // 10 s, and a service that died is opened again at the next check.
  std::this_thread::sleep_until(started_ + 3s + 20s + 500ms);
  ASSERT_EQ(ChildrenRunning(Executable("Vasquill")), std::vector<pid_t>{service});
  kill(service, SIGKILL);
  waitpid(service, nullptr, 0);
  Clock::time_point killed = Clock::now();
  auto [again, portAgain] =
      AwaitService(std::chrono::milliseconds(static_cast<int>((10 + kStartAllowance) * 1000)));
  ASSERT_NE(again, 0) << "the service was not back within 10 s and its start";
  EXPECT_LE(SecondsSince(killed), 10 + kStartAllowance);
  EXPECT_TRUE(watchdog_.Running());
  EXPECT_EQ(ChildrenRunning(Executable("Vasquill")), std::vector<pid_t>{again}) << "more than one service";
  EXPECT_GE(port, 5110);
  EXPECT_GE(portAgain, 5110);
}

TEST_F(WatchdogService, TrelmossServiceOpensTheCompanion) {
  AwaitNoProcessNamed("Trelmoss");
  StartWatchdog("TrelmossService");
  ASSERT_TRUE(WaitUntil([] { return !ChildrenRunning(Executable("Trelmoss")).empty(); },
                        std::chrono::milliseconds(static_cast<int>((3 + kStartAllowance) * 1000))))
      << "the companion was not opened within 3 s and its start";
  EXPECT_GE(SecondsSince(started_), 2.9);
  ExpectLoginItem("TrelmossService");
}

}  // namespace
