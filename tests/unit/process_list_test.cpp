// The process list: identifiers from /proc and the executable path of each.

#include "platform/process_list.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string OwnExecutable() { return fs::read_symlink("/proc/self/exe").string(); }

// A child that ends at once and is left unreaped (a zombie) until reaped.
pid_t EndedChild() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  // Wait until it has ended, without reaping it.
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  return pid;
}

TEST(ProcessList, ListsThisProcessAmongPositiveIdentifiers) {
  std::vector<pid_t> pids = platform::ProcessIdentifiers();
  EXPECT_NE(std::find(pids.begin(), pids.end(), getpid()), pids.end());
  EXPECT_NE(std::find(pids.begin(), pids.end(), getppid()), pids.end());
  EXPECT_TRUE(std::all_of(pids.begin(), pids.end(), [](pid_t pid) { return pid > 0; }));
}

TEST(ProcessList, ReadsTheExecutablePathIntoAZeroTerminatedBuffer) {
  std::string expected = OwnExecutable();
  char buffer[4096];
  std::memset(buffer, 'x', sizeof buffer);
  size_t length = platform::ProcessExecutablePath(getpid(), buffer, sizeof buffer);
  ASSERT_EQ(length, expected.size());
  EXPECT_EQ(std::string(buffer), expected);
  EXPECT_EQ(platform::ProcessExecutablePath(getpid()), expected);
}

TEST(ProcessList, APathThatDoesNotFitReadsAsNothing) {
  std::string expected = OwnExecutable();
  std::vector<char> buffer(expected.size(), 'x');  // no room for the terminating zero
  EXPECT_EQ(platform::ProcessExecutablePath(getpid(), buffer.data(), buffer.size()), 0u);
  EXPECT_EQ(buffer.front(), 'x') << "the buffer was written";
  std::vector<char> exact(expected.size() + 1);
  EXPECT_EQ(platform::ProcessExecutablePath(getpid(), exact.data(), exact.size()), expected.size());
}

TEST(ProcessList, GoneEndedAndInvalidProcessesHaveNoPath) {
  pid_t zombie = EndedChild();
  EXPECT_EQ(platform::ProcessExecutablePath(zombie), "") << "an ended process";
  waitpid(zombie, nullptr, 0);
  EXPECT_EQ(platform::ProcessExecutablePath(zombie), "") << "a reaped process";
  for (pid_t pid : {0, -1, -12345}) EXPECT_EQ(platform::ProcessExecutablePath(pid), "") << pid;
  char buffer[16];
  EXPECT_EQ(platform::ProcessExecutablePath(getpid(), buffer, 0), 0u);
  EXPECT_EQ(platform::ProcessExecutablePath(getpid(), nullptr, 4096), 0u);
}

TEST(ProcessList, AProcessWhoseExecutableWasRemovedKeepsItsPath) {
  fs::path folder = fs::temp_directory_path() / ("process_list_test." + std::to_string(getpid()));
  fs::create_directories(folder);
  fs::path copy = folder / "Vasquill";
  fs::copy_file(TEST_SLEEPER, copy, fs::copy_options::overwrite_existing);
  fs::permissions(copy, fs::perms::owner_all);
  pid_t pid = fork();
  if (pid == 0) {
    execl(copy.c_str(), copy.c_str(), nullptr);
    _exit(127);
  }
  // Once it runs the copy, take the file away.
  for (int i = 0; i < 200 && platform::ProcessExecutablePath(pid) != copy.string(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(platform::ProcessExecutablePath(pid), copy.string());
  fs::remove_all(folder);
  EXPECT_EQ(platform::ProcessExecutablePath(pid), copy.string());
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TEST(ProcessList, TheExecutableNameIsWhatFollowsTheLastSlash) {
  struct Case {
    const char* path;
    const char* name;
  } cases[] = {
      {"/Applications/Vasquill.app/Contents/MacOS/Vasquill", "Vasquill"},
      {"/usr/bin/Vasquill (copy)", "Vasquill (copy)"},
      {"Vasquill", "Vasquill"},
      {"/Vasquill", "Vasquill"},
      {"/opt/dir/", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::ExecutableName(c.path), c.name) << c.path;
}

}  // namespace
