#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace platform {
namespace {

void CloseQuietly(int fd) {
  if (fd >= 0) close(fd);
}

// Between fork and exec only async-signal-safe calls are made.
[[noreturn]] void ExecChild(char* const* argv, const ProgramOptions& options, int errorWrite, int report) {
  int error = 0;
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) {
    error = errno;
  } else if (options.quietOutput && dup2(null, STDOUT_FILENO) < 0) {
    error = errno;
  } else if (errorWrite >= 0 && dup2(errorWrite, STDERR_FILENO) < 0) {
    error = errno;
  } else if (errorWrite < 0 && options.quietOutput && dup2(null, STDERR_FILENO) < 0) {
    error = errno;
  } else {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvp(argv[0], argv);
    error = errno;
  }
  ssize_t ignored = write(report, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& arguments, const ProgramOptions& options) {
  ProgramResult result;
  if (arguments.empty()) {
    result.startError = EINVAL;
    return result;
  }
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  int report[2] = {-1, -1};
  int errors[2] = {-1, -1};
  if (pipe2(report, O_CLOEXEC) != 0 || (options.captureErrorOutput && pipe2(errors, O_CLOEXEC) != 0)) {
    result.startError = errno;
    CloseQuietly(report[0]);
    CloseQuietly(report[1]);
    return result;
  }
  pid_t child = fork();
  if (child < 0) {
    result.startError = errno;
    for (int fd : {report[0], report[1], errors[0], errors[1]}) CloseQuietly(fd);
    return result;
  }
  if (child == 0) ExecChild(argv.data(), options, errors[1], report[1]);
  CloseQuietly(report[1]);
  CloseQuietly(errors[1]);

  // Collect standard error until the program closes it, so that a long text
  // never blocks it.
  if (errors[0] >= 0) {
    char buffer[4096];
    for (;;) {
      ssize_t count = read(errors[0], buffer, sizeof buffer);
      if (count > 0) {
        result.errorOutput.append(buffer, static_cast<size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        break;
      }
    }
    CloseQuietly(errors[0]);
  }
  int startError = 0;
  ssize_t received;
  do {
    received = read(report[0], &startError, sizeof startError);
  } while (received < 0 && errno == EINTR);
  CloseQuietly(report[0]);

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      result.startError = errno;
      return result;
    }
  }
  if (received == static_cast<ssize_t>(sizeof startError)) {
    result.startError = startError;
    return result;
  }
  result.started = true;
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

bool ProgramAvailable(const std::string& name) {
  if (name.empty()) return false;
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::string_view directories = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  for (;;) {
    size_t end = directories.find(':');
    std::string_view directory = directories.substr(0, end);
    // An empty entry is the working directory.
    std::string candidate(directory.empty() ? std::string_view(".") : directory);
    candidate += '/';
    candidate += name;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    if (end == std::string_view::npos) return false;
    directories.remove_prefix(end + 1);
  }
}

}  // namespace platform
