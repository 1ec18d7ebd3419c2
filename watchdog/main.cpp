// The watchdog: keeps one application running for the logged-in user.  It
// registers itself as a login item, then looks at the process list at fixed
// intervals and opens the application's bundle whenever no process of the
// watched name is running.  It shows nothing and logs nothing.
//
// The same source builds VasquillService and TrelmossService; the build gives
// the watched name and the bundle (and, for test builds, shorter waits).

#include <sys/types.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/bundle.h"
#include "platform/install_root.h"
#include "platform/login_items.h"
#include "platform/process_list.h"
#include "platform/workspace.h"

#ifndef WATCHDOG_PROCESS_NAME
#error "WATCHDOG_PROCESS_NAME: the executable name of the watched application"
#endif
#if !defined(WATCHDOG_APPLICATION_PATH) && !defined(WATCHDOG_APPLICATION_FULL_PATH)
#error "WATCHDOG_APPLICATION_PATH: the bundle that is opened, below the install root"
#endif
#ifndef WATCHDOG_INITIAL_DELAY
#define WATCHDOG_INITIAL_DELAY 3
#endif
#ifndef WATCHDOG_RUNNING_INTERVAL
#define WATCHDOG_RUNNING_INTERVAL 10
#endif
#ifndef WATCHDOG_LAUNCH_PAUSE
#define WATCHDOG_LAUNCH_PAUSE 20
#endif

namespace {

constexpr char kProcessName[] = WATCHDOG_PROCESS_NAME;

// Seconds.
constexpr unsigned kInitialDelay = WATCHDOG_INITIAL_DELAY;
constexpr unsigned kRunningInterval = WATCHDOG_RUNNING_INTERVAL;
constexpr unsigned kLaunchPause = WATCHDOG_LAUNCH_PAUSE;

constexpr size_t kPathBufferSize = 4096;

std::string ApplicationPath() {
#ifdef WATCHDOG_APPLICATION_FULL_PATH
  return WATCHDOG_APPLICATION_FULL_PATH;
#else
  return platform::RootedPath(WATCHDOG_APPLICATION_PATH);
#endif
}

// Sleeps the whole time even when a signal cuts the wait short.
void SleepSeconds(unsigned seconds) {
  while (seconds > 0) seconds = sleep(seconds);
}

}  // namespace

// True when a process whose executable is named exactly like the watched
// application exists now, wherever its executable lies.
bool runningProcesses() {
  const std::string_view watched(kProcessName);
  char path[kPathBufferSize];
  for (pid_t pid : platform::ProcessIdentifiers()) {
    if (pid == 0) continue;
    std::memset(path, 0, sizeof path);
    size_t length = platform::ProcessExecutablePath(pid, path, sizeof path);
    if (length == 0) continue;  // gone, or not ours to read
    if (platform::ExecutableName(std::string_view(path, length)) == watched) return true;
  }
  return false;
}

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  // At every start, without looking for an older entry; failures are ignored.
  platform::InsertLoginItem(platform::MainBundlePath());
  const std::string application = ApplicationPath();

  SleepSeconds(kInitialDelay);
  for (;;) {
    if (runningProcesses()) {
      SleepSeconds(kRunningInterval);
    } else {
      platform::OpenApplication(application);
      SleepSeconds(kLaunchPause);
    }
  }
}
