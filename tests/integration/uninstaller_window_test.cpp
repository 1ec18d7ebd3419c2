// The uninstaller's real window on an X display of its own (Xvfb), operated
// with xdotool; screenshots of the window and the alert are kept in the build
// folder (test-artifacts/).  The uninstaller's script here is a stand-in that
// notes its argument, so nothing is removed.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/process_tools.h"

namespace fs = std::filesystem;
using namespace process_tools;
using namespace std::chrono_literals;

namespace {

constexpr char kUninstaller[] = TEST_UNINSTALLER;
constexpr char kRoot[] = UNINSTALL_ROOT;  // the argument it gives its script
constexpr char kWork[] = WINDOW_WORK;
constexpr char kArtifacts[] = TEST_ARTIFACTS;
constexpr char kTitle[] = "卸载 Vasquill";

class UninstallerWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    work_ = std::string(kWork) + "/" + test->name();
    fs::remove_all(work_);
    fs::create_directories(work_);
    fs::create_directories(kArtifacts);
    if (geteuid() != 0) GTEST_SKIP() << "the script runs as the super-user; without it pkexec would ask";

    // A display of its own, at a number no other server holds: Xvfb refuses
    // one whose lock file exists.
    int first = 100 + getpid() % 800;
    for (int number = first; number < first + 20 && display_.empty(); ++number) StartDisplay(number);
    ASSERT_FALSE(display_.empty()) << "Xvfb did not start: " << ReadFile(work_ + "/xvfb.log");

    // The uninstaller in a bundle whose script notes how it was called.
    std::string bundle = work_ + "/TarvenUninstallServer.app";
    InstallFile(kUninstaller, bundle + "/Contents/MacOS/TarvenUninstallServer");
    WriteFile(bundle + "/Contents/Resources/unistall.sh", "echo \"$1\" > '" + Marker() + "'\n");
    executable_ = bundle + "/Contents/MacOS/TarvenUninstallServer";
  }

  void StartDisplay(int number) {
    Child::Options options;
    options.errorFile = work_ + "/xvfb.log";
    std::string display = ":" + std::to_string(number);
    // -noreset: the server would start afresh whenever its last client left,
    // and a client connecting just then would fail.
    xvfb_ = Child({"/usr/bin/Xvfb", display, "-noreset", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, options);
    std::string lockFile = "/tmp/.X" + std::to_string(number) + "-lock";
    // Ready once it answers; ours while the lock names it.
    display_ = display;
    bool ready = WaitUntil([&] { return !xvfb_.Running() || Tool({"/usr/bin/xdotool", "getdisplaygeometry"}); }, 20s);
    std::string lock = ReadFile(lockFile);
    if (!ready || !xvfb_.Running() || lock.empty() || std::stoi(lock) != xvfb_.Pid()) {
      xvfb_.Kill(SIGTERM);
      display_.clear();
    }
  }

  void TearDown() override {
    uninstaller_.Kill();
    // Asked to end, the server removes its lock file and socket.
    xvfb_.Kill(SIGTERM);
  }

  std::string Marker() const { return work_ + "/script-ran"; }

  Child::Options OnDisplay(const std::string& output) const {
    Child::Options options;
    options.outputFile = output;
    options.errorFile = output + ".err";
    options.environment["DISPLAY"] = display_;
    options.environment["WAYLAND_DISPLAY"] = std::nullopt;
    options.environment["PKEXEC_UID"] = std::nullopt;
    options.environment["SUDO_UID"] = std::nullopt;
    return options;
  }

  // Runs a tool on the display; its standard output, or nullopt when it failed.
  std::optional<std::string> Tool(const std::vector<std::string>& argv) {
    std::string output = work_ + "/tool.out";
    Child tool(argv, OnDisplay(output));
    std::optional<int> status = tool.Wait(20s);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return std::nullopt;
    return ReadFile(output);
  }

  void StartUninstaller() {
    // No terminal to fall back on: only the window can be answered.
    uninstaller_ = Child({executable_}, OnDisplay(work_ + "/uninstaller.out"));
    ASSERT_TRUE(uninstaller_.Started());
  }

  struct Window {
    std::string id;
    std::string pid;  // of the program that shows it
  };

  // A window with the uninstaller's title shown by a program other than
  // those given (window ids are handed out again once a program has gone).
  Window AwaitWindow(const std::set<std::string>& shownBy = {}) {
    Window found;
    WaitUntil(
        [&] {
          std::optional<std::string> ids =
              Tool({"/usr/bin/xdotool", "search", "--name", std::string("^") + kTitle + "$"});
          std::istringstream lines(ids.value_or(""));
          for (std::string id; std::getline(lines, id);) {
            std::optional<std::string> pid = Tool({"/usr/bin/xdotool", "getwindowpid", id});
            if (!id.empty() && pid && !shownBy.count(*pid)) {
              found = {id, *pid};
              return true;
            }
          }
          return false;
        },
        20s);
    return found;
  }

  // Takes a picture of the window into the artifacts folder.
  void Screenshot(const std::string& window, const std::string& name) {
    std::string file = std::string(kArtifacts) + "/" + name;
    fs::remove(file);
    ASSERT_TRUE(Tool({"/usr/bin/import", "-display", display_, "-window", window, file})) << "no screenshot";
    ASSERT_TRUE(fs::exists(file) && fs::file_size(file) > 0);
    // A drawn dialog has text and buttons, so many colours.
    std::optional<std::string> colours = Tool({"/usr/bin/identify", "-format", "%k", file});
    ASSERT_TRUE(colours);
    EXPECT_GT(std::stoi(*colours), 8) << "the window looks empty";
  }

  void Press(const std::string& window, const std::string& key) {
    ASSERT_TRUE(Tool({"/usr/bin/xdotool", "windowfocus", "--sync", window}));
    ASSERT_TRUE(Tool({"/usr/bin/xdotool", "key", key}));
  }

  int ExitStatus(std::chrono::milliseconds limit) {
    std::optional<int> status = uninstaller_.Wait(limit);
    if (!status) return -1000;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -WTERMSIG(*status);
  }

  std::string work_;
  std::string display_;
  std::string executable_;
  Child xvfb_;
  Child uninstaller_;
};

TEST_F(UninstallerWindow, ShowsTheWindowAndCancelEndsWithoutRunningTheScript) {
  StartUninstaller();
  Window window = AwaitWindow();
  ASSERT_FALSE(window.id.empty()) << "no window; " << ReadFile(work_ + "/uninstaller.out.err");
  Screenshot(window.id, "uninstaller-window.png");

  Clock::time_point chosen = Clock::now();
  Press(window.id, "Escape");
  EXPECT_EQ(ExitStatus(10s), 0);
  EXPECT_LT(SecondsSince(chosen), 5);
  EXPECT_FALSE(fs::exists(Marker())) << "the script ran after cancel";
  EXPECT_EQ(ReadFile(work_ + "/uninstaller.out"), "") << "it fell back to the terminal";
}

TEST_F(UninstallerWindow, UninstallRunsTheScriptAndShowsTheOutcomeInAnAlert) {
  StartUninstaller();
  Window window = AwaitWindow();
  ASSERT_FALSE(window.id.empty()) << "no window; " << ReadFile(work_ + "/uninstaller.out.err");
  Press(window.id, "Return");  // the window's default button: uninstall

  Window alert = AwaitWindow({window.pid});
  ASSERT_FALSE(alert.id.empty()) << "no alert; " << ReadFile(work_ + "/uninstaller.out");
  EXPECT_EQ(ReadFile(Marker()), std::string(kRoot) + "\n") << "the script did not run with the root";
  Screenshot(alert.id, "uninstaller-alert.png");
  EXPECT_TRUE(uninstaller_.Running()) << "ended before the alert was answered";
  Press(alert.id, "Return");
  EXPECT_EQ(ExitStatus(10s), 0);
}

}  // namespace
