#include "platform/workspace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <linux/close_range.h>

#include "platform/bundle.h"

namespace platform {
namespace {

// Between fork and exec only async-signal-safe calls are made.

void ResetSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal != SIGKILL && signal != SIGSTOP) sigaction(signal, &action, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool StreamsOnDevNull() {
  int null = open("/dev/null", O_RDWR);
  if (null < 0) return false;
  for (int stream = 0; stream <= 2; ++stream) {
    if (dup2(null, stream) < 0) return false;
  }
  if (null > 2) close(null);
  return true;
}

// The started process: on failure its errno goes up the report pipe, which
// closes by itself on a successful exec.
[[noreturn]] void StartApplication(const char* executable, int report) {
  char* const argv[] = {const_cast<char*>(executable), nullptr};
  int error = 0;
  if (setsid() < 0 || chdir("/") != 0 || !StreamsOnDevNull()) {
    error = errno;
  } else {
    ResetSignals();
    // Nothing else the caller had open goes along; the report pipe is closed
    // on exec already.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
      for (int fd = 3; fd < 1024; ++fd) {
        if (fd != report) close(fd);
      }
    }
    execv(executable, argv);
    error = errno;
  }
  ssize_t ignored = write(report, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

}  // namespace

bool OpenApplication(const std::string& bundlePath) {
  if (bundlePath.empty()) return false;
  std::string executable = BundleExecutablePath(bundlePath);
  if (access(executable.c_str(), X_OK) != 0) return false;

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  pid_t intermediate = fork();
  if (intermediate < 0) {
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (intermediate == 0) {
    // The intermediate process ends at once; the application it starts is
    // handed to the system's reaper.
    close(report[0]);
    pid_t application = fork();
    if (application == 0) StartApplication(executable.c_str(), report[1]);
    _exit(application < 0 ? 1 : 0);
  }
  close(report[1]);
  int status = 0;
  while (waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
  }
  bool forked = WIFEXITED(status) && WEXITSTATUS(status) == 0;

  int error = 0;
  ssize_t received;
  do {
    received = read(report[0], &error, sizeof error);
  } while (received < 0 && errno == EINTR);
  close(report[0]);
  return forked && received == 0;
}

}  // namespace platform
