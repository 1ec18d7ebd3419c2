// Opening a bundle: its executable starts on its own, detached, and the
// caller neither waits for it nor keeps it as a child.

#include "platform/workspace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class Workspace : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("workspace_test." + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    if (started_ > 0) kill(started_, SIGKILL);
    fs::remove_all(folder_);
  }

  // A bundle Probe.app whose executable is the given file text.
  std::string MakeBundle(const std::string& executable, fs::perms mode = fs::perms::owner_all) {
    fs::path bundle = folder_ / "Probe.app";
    fs::create_directories(bundle / "Contents/MacOS");
    fs::path program = bundle / "Contents/MacOS/Probe";
    std::ofstream(program) << executable;
    fs::permissions(program, mode);
    return bundle.string();
  }

  // The lines "key=value" the probe wrote, once it has.
  std::map<std::string, std::string> Facts() {
    fs::path file = folder_ / "facts";
    for (int i = 0; i < 500 && !fs::exists(file); ++i) std::this_thread::sleep_for(10ms);
    std::map<std::string, std::string> facts;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      size_t equals = line.find('=');
      if (equals != std::string::npos) facts[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return facts;
  }

  fs::path folder_;
  pid_t started_ = -1;
};

TEST_F(Workspace, StartsTheBundleExecutableDetachedWithoutWaiting) {
  std::string facts = (folder_ / "facts").string();
  std::string bundle = MakeBundle(
      "#!/bin/sh\n"
      "out=$(readlink /proc/$$/fd/1)\n"
      "err=$(readlink /proc/$$/fd/2)\n"
      "{\n"
      "  echo \"pid=$$\"\n"
      "  echo \"args=$#\"\n"
      "  echo \"session=$(cut -d' ' -f6 /proc/$$/stat)\"\n"
      "  echo \"cwd=$(pwd)\"\n"
      "  echo \"in=$(readlink /proc/$$/fd/0)\"\n"
      "  echo \"out=$out\"\n"
      "  echo \"err=$err\"\n"
      "  echo \"ignored=$(sed -n 's/^SigIgn:\\t//p' /proc/$$/status)\"\n"
      "  echo \"inherited=$(test -e /proc/$$/fd/57 && echo yes || echo no)\"\n"
      "} > '" + facts + ".new' && mv '" + facts + ".new' '" + facts + "'\n"
      "exec sleep 30\n");

  // What the caller has set up must not reach the application.
  signal(SIGPIPE, SIG_IGN);
  int open = ::open("/dev/null", O_RDONLY);
  ASSERT_EQ(dup2(open, 57), 57);
  ::close(open);

  auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(platform::OpenApplication(bundle));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << "it waited for the application";
  ::close(57);
  signal(SIGPIPE, SIG_DFL);

  // Neither the application nor a helper is left as a child of the caller.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  std::map<std::string, std::string> seen = Facts();
  ASSERT_FALSE(seen["pid"].empty()) << "the application did not run";
  started_ = std::stoi(seen["pid"]);
  EXPECT_EQ(seen["args"], "0");
  EXPECT_EQ(seen["session"], seen["pid"]) << "not in a session of its own";
  EXPECT_EQ(seen["cwd"], "/");
  EXPECT_EQ(seen["in"], "/dev/null");
  EXPECT_EQ(seen["out"], "/dev/null");
  EXPECT_EQ(seen["err"], "/dev/null");
  // Only the shell's own choices may remain ignored; SIGPIPE (bit 13) is not.
  unsigned long long ignored = std::stoull(seen["ignored"], nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << seen["ignored"];
  EXPECT_EQ(seen["inherited"], "no");
}

TEST_F(Workspace, ReportsABundleThatCannotBeStarted) {
  EXPECT_FALSE(platform::OpenApplication(""));
  EXPECT_FALSE(platform::OpenApplication((folder_ / "Missing.app").string()));
  // Present but not executable, and executable but no program.
  EXPECT_FALSE(platform::OpenApplication(MakeBundle("#!/bin/sh\n", fs::perms::owner_read)));
  EXPECT_FALSE(platform::OpenApplication(MakeBundle(std::string("\x7f" "ELF-broken\0\1\2", 14))));
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left behind";
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
