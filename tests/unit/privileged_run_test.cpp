// Running programs and waiting for them, and the privileged run of the
// uninstaller's script: directly for the super-user, through pkexec else.

#include "platform/privileged_run.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/child_process.h"

namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;

platform::ProgramResult RunCapturing(const Args& argv) {
  platform::ProgramOptions options;
  options.quietOutput = true;
  options.captureErrorOutput = true;
  return platform::RunProgram(argv, options);
}

TEST(RunProgram, TellsHowTheProgramEnded) {
  struct Case {
    Args argv;
    bool started, exited;
    int status, signal;
    const char* errorOutput;
  } cases[] = {
      {{"/bin/sh", "-c", "exit 0"}, true, true, 0, 0, ""},
      {{"sh", "-c", "echo out; echo 'bad thing' >&2; exit 3"}, true, true, 3, 0, "bad thing\n"},
      {{"/bin/sh", "-c", "kill -TERM $$"}, true, false, -1, SIGTERM, ""},
      {{"/nonexistent/program"}, false, false, -1, 0, ""},
      {{"no-such-program-anywhere"}, false, false, -1, 0, ""},
  };
  for (const Case& c : cases) {
    platform::ProgramResult result = RunCapturing(c.argv);
    SCOPED_TRACE(c.argv.back());
    EXPECT_EQ(result.started, c.started);
    EXPECT_EQ(result.exited, c.exited);
    EXPECT_EQ(result.exitStatus, c.status);
    EXPECT_EQ(result.signal, c.signal);
    EXPECT_EQ(result.errorOutput, c.errorOutput);
    EXPECT_EQ(result.Succeeded(), c.started && c.exited && c.status == 0);
    if (!c.started) {
      EXPECT_EQ(result.startError, ENOENT);
    }
  }
  EXPECT_FALSE(platform::RunProgram({}).started);
}

TEST(RunProgram, CollectsALongErrorOutputWithoutBlocking) {
  platform::ProgramResult result = RunCapturing({"/bin/sh", "-c", "head -c 300000 /dev/zero | tr '\\0' x >&2; exit 1"});
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorOutput, std::string(300000, 'x'));
}

TEST(RunProgram, FindsProgramsOnThePath) {
  EXPECT_TRUE(platform::ProgramAvailable("sh"));
  EXPECT_TRUE(platform::ProgramAvailable("/bin/sh"));
  EXPECT_FALSE(platform::ProgramAvailable("no-such-program-anywhere"));
  EXPECT_FALSE(platform::ProgramAvailable("/nonexistent/sh"));
  EXPECT_FALSE(platform::ProgramAvailable(""));
}

TEST(PrivilegedRun, GoesThroughPkexecUnlessAlreadySuperUser) {
  Args command{"/bin/tcsh", "/x/Contents/Resources//unistall.sh", "/"};
  EXPECT_EQ(platform::PrivilegedCommandLine(command, true), command);
  Args expected{"/usr/bin/pkexec", "/bin/tcsh", "/x/Contents/Resources//unistall.sh", "/"};
  EXPECT_EQ(platform::PrivilegedCommandLine(command, false), expected);
}

TEST(PrivilegedRun, RefusesACommandWithoutAnAbsolutePath) {
  for (const Args& argv : {Args{}, Args{""}, Args{"sh", "-c", "true"}}) {
    platform::PrivilegedRunResult result = platform::RunWithAdministratorPrivileges(argv);
    EXPECT_FALSE(result.succeeded);
    EXPECT_FALSE(result.errorMessage.empty());
  }
}

TEST(PrivilegedRun, TheSuperUserRunsTheCommandDirectlyAndGetsItsErrorText) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the super-user";
  struct Case {
    Args argv;
    bool succeeded;
    std::string message;
  } cases[] = {
      {{"/bin/sh", "-c", "[ \"$(id -u)\" = 0 ] && [ -z \"$PKEXEC_UID\" ] && echo fine"}, true, ""},
      {{"/bin/sh", "-c", "echo 'rm: cannot remove x' >&2; echo second >&2; exit 1"}, false,
       "rm: cannot remove x\nsecond"},
      {{"/bin/sh", "-c", "exit 4"}, false, "The command exited with status 4."},
      {{"/bin/sh", "-c", "kill -KILL $$"}, false, "The command was ended by signal 9 (Killed)."},
      {{"/nonexistent/tcsh"}, false, "/nonexistent/tcsh: No such file or directory"},
  };
  for (const Case& c : cases) {
    platform::PrivilegedRunResult result = platform::RunWithAdministratorPrivileges(c.argv);
    EXPECT_EQ(result.succeeded, c.succeeded) << c.argv.back();
    EXPECT_EQ(result.errorMessage, c.message) << c.argv.back();
  }
}

// Another user's run goes through pkexec; where no authorisation can be had
// (here: no authority at all) the command does not run and pkexec's own text
// is the error.
TEST(PrivilegedRun, AnotherUserIsAskedThroughPkexecAndARefusalIsAFailure) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the super-user to become another user";
  fs::path folder = fs::temp_directory_path() / ("privileged_run_test." + std::to_string(getpid()));
  fs::create_directories(folder);
  fs::permissions(folder, fs::perms::all | fs::perms::sticky_bit);
  std::string marker = (folder / "ran").string();

  int report[2];
  ASSERT_EQ(pipe(report), 0);
  pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    platform::PrivilegedRunResult result = platform::RunWithAdministratorPrivileges({"/usr/bin/touch", marker});
    std::string text = (result.succeeded ? "1" : "0") + result.errorMessage;
    ssize_t written = write(report[1], text.data(), text.size());
    _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 3);
  }
  close(report[1]);
  std::string text;
  char buffer[1024];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text[0], '0') << "succeeded without authorisation";
  EXPECT_GT(text.size(), 1u) << "no error text";
  EXPECT_FALSE(fs::exists(marker)) << "the command ran";
  fs::remove_all(folder);
}

}  // namespace
