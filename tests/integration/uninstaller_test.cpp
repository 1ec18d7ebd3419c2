// The uninstaller and its script against a staged installation in this build
// folder, driven at the terminal (no display).  The installation's programs
// are stood in for by quiet programs at the installed paths, so that they can
// run, and be stopped, without starting anything else; they carry the names
// Vasquill and Trelmoss, so these tests run alone.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/user.h"
#include "tests/integration/process_tools.h"

namespace fs = std::filesystem;
using namespace process_tools;
using namespace std::chrono_literals;

namespace {

constexpr char kUninstaller[] = TEST_UNINSTALLER;  // built to remove UNINSTALL_ROOT
constexpr char kRoot[] = UNINSTALL_ROOT;
constexpr char kWork[] = UNINSTALL_WORK;
constexpr char kScript[] = UNINSTALL_SCRIPT;  // the script as the bundle carries it
constexpr char kSleeper[] = TEST_SLEEPER;

const char* const kWatchdogs[] = {"VasquillService", "TrelmossService"};
const char* const kWatched[] = {"Vasquill", "Trelmoss"};

std::string Program(const std::string& root, const std::string& name) {
  return root + "/Applications/" + name + ".app/Contents/MacOS/" + name;
}

std::string Home() { return platform::HomeDirectory(); }

// Files (and links) below a folder, as paths relative to it.
std::set<std::string> FilesBelow(const std::string& folder) {
  std::set<std::string> files;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error); it != fs::recursive_directory_iterator();
       it.increment(error)) {
    if (!it->is_directory() || it->is_symlink()) files.insert(fs::relative(it->path(), folder).string());
  }
  return files;
}

// What the installation puts down (relative to the root).
std::vector<std::string> InstalledFiles() {
  std::string autostart = Home().substr(1) + "/.config/autostart/";
  return {
      "Applications/Vasquill.app/Contents/MacOS/Vasquill",
      "Applications/VasquillService.app/Contents/MacOS/VasquillService",
      "Applications/TrelmossService.app/Contents/MacOS/TrelmossService",
      "Applications/Trelmoss.app/Contents/MacOS/Trelmoss",
      "Applications/TarvenUninstallServer.app/Contents/MacOS/TarvenUninstallServer",
      "Applications/TarvenUninstallServer.app/Contents/Resources/unistall.sh",
      "Library/Application Support/Vasquill/server.crt",
      "Library/Application Support/Vasquill/server.key",
      "Library/Application Support/Vasquill/component/tarven_ukey.dylib",
      "Library/Application Support/Vasquill/component/tarven_ukey.dylib.sig",
      "usr/local/lib/tarven_ukey.dylib",
      "Users/halvorn/Documents/testlib/Build/Products/Debug/libtestlib.dylib",
      "Users/halvorn/Documents/testlib/Build/Products/Debug/libtestlib.dylib.sig",
      "usr/local/bin/vasquill-cli",
      "usr/local/bin/vasquill-provision",
      "usr/local/bin/vasquill-sign",
      autostart + "Vasquill.desktop",
      autostart + "VasquillService.desktop",
      autostart + "TrelmossService.desktop",
  };
}

// What must stay: the user's data, and whatever else lies in the same
// folders, some of it with names close to the installation's.
std::vector<std::string> KeptFiles() {
  std::string home = Home().substr(1);
  return {
      home + "/.local/share/vasquill-softkey/keystore.json",
      home + "/.local/share/vasquill-softkey/SN0001/key.pem",
      home + "/Library/Caches/Halvorn/TARVEN/log.sh",
      home + "/Library/Caches/Halvorn/TARVEN/ukey_log.sh",
      home + "/.config/autostart/Other.desktop",
      home + "/.config/autostart/Trelmoss.desktop",
      "Applications/Other.app/Contents/MacOS/Other",
      "Applications/Vasquill.app.old/Contents/MacOS/Vasquill",
      "Applications/VasquillX.app/Contents/MacOS/VasquillX",
      "Library/Application Support/Vasquill2/settings",
      "Library/Application Support/Other/settings",
      "usr/local/lib/other.dylib",
      "usr/local/bin/vasquill-other",
      "Users/halvorn/Documents/testlib/Build/Products/Debug/libother.dylib",
  };
}

// Puts an installation below root: the programs that run are quiet
// stand-ins, the uninstaller is the one under test with its real script.
void StageInstallation(const std::string& root) {
  fs::remove_all(root);
  for (const std::string& file : InstalledFiles()) WriteFile(root + "/" + file, "installed " + file + "\n");
  for (const char* name : kWatchdogs) InstallFile(kSleeper, Program(root, name));
  for (const char* name : kWatched) InstallFile(kSleeper, Program(root, name));
  InstallFile(kUninstaller, Program(root, "TarvenUninstallServer"));
  InstallFile(kScript, root + "/Applications/TarvenUninstallServer.app/Contents/Resources/unistall.sh", 0644);
  for (const std::string& file : KeptFiles()) WriteFile(root + "/" + file, "kept " + file + "\n");
}

std::set<std::string> Kept() {
  std::vector<std::string> kept = KeptFiles();
  return {kept.begin(), kept.end()};
}

// The installation's programs, running from root, with the moment each ended.
class RunningInstallation {
 public:
  explicit RunningInstallation(const std::string& root) {
    for (const char* name : kWatchdogs) Start(root, name, true);
    for (const char* name : kWatched) Start(root, name, false);
    for (auto& program : programs_) {
      EXPECT_TRUE(WaitUntil([&] { return !ChildrenRunning(program.path).empty(); }, 2s)) << program.path;
    }
  }

  // Notes which programs have ended; true when all have.
  bool Poll() {
    bool all = true;
    for (auto& program : programs_) {
      if (!program.ended && !program.child.Running()) program.ended = Clock::now();
      all = all && program.ended.has_value();
    }
    return all;
  }

  void ExpectStoppedWatchdogsFirst() {
    Clock::time_point lastWatchdog = Clock::time_point::min(), firstWatched = Clock::time_point::max();
    for (auto& program : programs_) {
      ASSERT_TRUE(program.ended) << program.path << " still runs";
      if (program.watchdog) lastWatchdog = std::max(lastWatchdog, *program.ended);
      if (!program.watchdog) firstWatched = std::min(firstWatched, *program.ended);
    }
    EXPECT_LT(lastWatchdog, firstWatched) << "the service or the companion ended before the watchdogs";
  }

 private:
  struct Running {
    std::string path;
    bool watchdog;
    Child child;
    std::optional<Clock::time_point> ended;
  };

  void Start(const std::string& root, const std::string& name, bool watchdog) {
    std::string path = Program(root, name);
    programs_.push_back({path, watchdog, Child({path}, {}), std::nullopt});
  }

  std::vector<Running> programs_;
};

Child::Options Terminal(const std::string& input, const std::string& output) {
  Child::Options options;
  options.input = input;
  options.outputFile = output;
  options.errorFile = output + ".err";
  // No display: the terminal asks.  The removal is asked for by this user.
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "PKEXEC_UID", "SUDO_UID"}) options.environment[name] = std::nullopt;
  return options;
}

int ExitStatus(Child& child, std::chrono::milliseconds limit) {
  std::optional<int> status = child.Wait(limit);
  if (!status) return -1000;
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : -WTERMSIG(*status);
}

class Uninstaller : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the script runs as the super-user; without it pkexec would ask";
    BecomeSubreaper();
    fs::remove_all(kWork);
    fs::create_directories(kWork);
  }
  void TearDown() override {
    std::vector<std::string> programs;
    for (const std::string& root : {std::string(kRoot), LinkedRootTarget()}) {
      for (const char* name : kWatchdogs) programs.push_back(Program(root, name));
      for (const char* name : kWatched) programs.push_back(Program(root, name));
    }
    KillChildrenRunning(programs);
    ReapEnded();
  }

  static std::string LinkedRootTarget() { return std::string(kWork) + "/root with space [x]*"; }

  // A copy of the uninstaller in a bundle of its own whose script is the
  // given text (none when nullptr); its argument is still UNINSTALL_ROOT.
  static std::string StubBundle(const std::string& name, const char* script) {
    std::string bundle = std::string(kWork) + "/" + name + "/TarvenUninstallServer.app";
    InstallFile(kUninstaller, bundle + "/Contents/MacOS/TarvenUninstallServer");
    fs::create_directories(bundle + "/Contents/Resources");
    if (script) WriteFile(bundle + "/Contents/Resources/unistall.sh", script);
    return bundle + "/Contents/MacOS/TarvenUninstallServer";
  }
};

TEST_F(Uninstaller, RemovesTheInstallationAndKeepsTheUsersDataWhenChosenAtTheTerminal) {
  StageInstallation(kRoot);
  fs::create_directories(std::string(kRoot) + "-outside");
  WriteFile(std::string(kRoot) + "-outside/keep", "outside\n");
  RunningInstallation running(kRoot);

  std::string output = std::string(kWork) + "/terminal";
  Child uninstaller({Program(kRoot, "TarvenUninstallServer")}, Terminal("1\n\n", output));
  ASSERT_TRUE(WaitUntil([&] { running.Poll(); return !uninstaller.Running(); }, 30s)) << "still running";
  EXPECT_EQ(ExitStatus(uninstaller, 1s), 0);
  EXPECT_TRUE(WaitUntil([&] { return running.Poll(); }, 2s));
  running.ExpectStoppedWatchdogsFirst();

  std::string shown = ReadFile(output);
  EXPECT_NE(shown.find("卸载成功"), std::string::npos) << shown;
  EXPECT_NE(shown.find("[确定]"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("卸载失败"), std::string::npos) << shown;
  EXPECT_EQ(FilesBelow(kRoot), Kept());
  for (const char* folder : {"Applications/Vasquill.app", "Applications/TarvenUninstallServer.app",
                             "Library/Application Support/Vasquill"}) {
    EXPECT_FALSE(fs::exists(std::string(kRoot) + "/" + folder)) << folder;
  }
  EXPECT_EQ(ReadFile(std::string(kRoot) + "-outside/keep"), "outside\n");

  // Once more, with nothing left to remove.
  Child again({"/bin/tcsh", kScript, kRoot}, Terminal("", std::string(kWork) + "/again"));
  EXPECT_EQ(ExitStatus(again, 30s), 0) << ReadFile(std::string(kWork) + "/again.err");
  EXPECT_EQ(FilesBelow(kRoot), Kept());
}

TEST_F(Uninstaller, AFailedRunShowsTheRunnersTextAndStillEndsWithZero) {
  struct Case {
    const char* name;
    const char* script;
    std::string message;
  } cases[] = {
      {"failing", "echo \"rm: cannot remove '/x': Read-only file system\" > /dev/stderr\nexit 1\n",
       "卸载失败，错误信息：\nrm: cannot remove '/x': Read-only file system"},
      {"silent", "exit 5\n", "卸载失败，错误信息：\nThe command exited with status 5."},
      {"missing", nullptr, "卸载失败，错误信息：\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string uninstaller = StubBundle(c.name, c.script);
    std::string output = std::string(kWork) + "/" + c.name + ".out";
    Child run({uninstaller}, Terminal("1\n\n", output));
    EXPECT_EQ(ExitStatus(run, 30s), 0);
    std::string shown = ReadFile(output);
    EXPECT_NE(shown.find(c.message), std::string::npos) << shown;
    EXPECT_NE(shown.find("[确定]"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("卸载成功"), std::string::npos) << shown;
    if (!c.script) {
      EXPECT_NE(shown.find("unistall.sh: No such file or directory"), std::string::npos) << shown;
    }
  }
}

TEST_F(Uninstaller, CancelAndTheEndOfInputEndAtOnceWithoutRunningTheScript) {
  std::string marker = std::string(kWork) + "/ran";
  // The script's path goes to the runner as one argument, never through a
  // shell: blanks, quotes and substitutions in it stay what they are.
  std::string uninstaller =
      StubBundle("stub folder's $(touch injected) `touch injected`", ("echo \"$1\" > '" + marker + "'\n").c_str());
  for (const char* input : {"2\n", "取消\n", ""}) {
    std::string output = std::string(kWork) + "/cancel.out";
    Clock::time_point start = Clock::now();
    Child run({uninstaller}, Terminal(input, output));
    EXPECT_EQ(ExitStatus(run, 10s), 0) << input;
    EXPECT_LT(SecondsSince(start), 2) << input;
    EXPECT_FALSE(fs::exists(marker)) << input;
    EXPECT_EQ(ReadFile(output).find("[确定]"), std::string::npos) << "an alert after cancel";
  }
  // Choosing uninstall runs it, with the root as its one argument.
  Child::Options options = Terminal("1\n\n", std::string(kWork) + "/stub.out");
  options.workingDirectory = kWork;
  Child run({uninstaller}, options);
  EXPECT_EQ(ExitStatus(run, 10s), 0);
  EXPECT_EQ(ReadFile(marker), std::string(kRoot) + "\n");
  EXPECT_NE(ReadFile(std::string(kWork) + "/stub.out").find("卸载成功"), std::string::npos);
  EXPECT_FALSE(fs::exists(std::string(kWork) + "/injected"));
  EXPECT_FALSE(fs::exists(std::string(kRoot) + "/injected"));
}

TEST_F(Uninstaller, TheScriptRefusesAMissingEmptyOrRelativeRoot) {
  // A relative root would be taken from the working folder.
  std::string folder = std::string(kWork) + "/cwd";
  StageInstallation(folder);
  std::set<std::string> before = FilesBelow(folder);
  const std::vector<std::string> arguments[] = {{}, {""}, {"."}, {"Applications/.."}, {folder, folder}};
  for (const std::vector<std::string>& args : arguments) {
    std::vector<std::string> argv{"/bin/tcsh", kScript};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output = std::string(kWork) + "/refused";
    Child::Options options = Terminal("", output);
    options.workingDirectory = folder;
    Child run(argv, options);
    EXPECT_EQ(ExitStatus(run, 30s), 2) << (args.empty() ? "(none)" : args.front());
    EXPECT_NE(ReadFile(output + ".err"), "");
    EXPECT_EQ(FilesBelow(folder), before);
  }
}

TEST_F(Uninstaller, TheScriptTakesARootThroughALinkWithBlanksAndPatternCharacters) {
  std::string target = LinkedRootTarget();
  StageInstallation(target);
  std::string link = std::string(kWork) + "/link to root";
  fs::create_symlink(target, link);
  RunningInstallation running(target);

  Child run({"/bin/tcsh", kScript, link + "//"}, Terminal("", std::string(kWork) + "/linked"));
  ASSERT_TRUE(WaitUntil([&] { running.Poll(); return !run.Running(); }, 30s));
  EXPECT_EQ(ExitStatus(run, 1s), 0) << ReadFile(std::string(kWork) + "/linked.err");
  EXPECT_TRUE(WaitUntil([&] { return running.Poll(); }, 2s));
  running.ExpectStoppedWatchdogsFirst();
  EXPECT_EQ(FilesBelow(target), Kept());
  EXPECT_TRUE(fs::is_symlink(link));
}

}  // namespace
