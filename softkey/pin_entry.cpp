#include "softkey/pin_entry.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "softkey/errors.h"
#include "softkey/text.h"

extern char** environ;

namespace softkey {
namespace {

constexpr size_t kMaxAnswer = 256;
constexpr int kDefaultTimeoutSeconds = 120;

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

int TimeoutSeconds() {
  const char* text = NonEmptyEnv("VASQUILL_SOFTKEY_ASKPASS_TIMEOUT");
  if (text == nullptr) return kDefaultTimeoutSeconds;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 3600) return kDefaultTimeoutSeconds;
  return static_cast<int>(value);
}

const char* KindName(PinKind kind) {
  switch (kind) {
    case PinKind::kNew: return "new";
    case PinKind::kConfirm: return "confirm";
    default: return "current";
  }
}

struct Spawned {
  pid_t pid = -1;
  int output = -1;  // read end of the child's standard output
};

// Starts argv with its standard output on a pipe, standard input from
// /dev/null, default signal dispositions, no inherited descriptors beyond
// 0-2, in a process group of its own.  errno-style failure in *error.
bool Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool quietErrors,
           Spawned* spawned, int* error) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    *error = errno;
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  if (quietErrors) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  pid_t pid = -1;
  int result = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(pipeFds[1]);
  if (result != 0) {
    close(pipeFds[0]);
    *error = result;
    return false;
  }
  spawned->pid = pid;
  spawned->output = pipeFds[0];
  return true;
}

// The caller's environment with the prompt's own variables.
std::vector<std::string> ChildEnvironment(PinKind kind, const std::string& serial) {
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text = *entry;
    if (text.starts_with("VASQUILL_SOFTKEY_PROMPT=") || text.starts_with("VASQUILL_SOFTKEY_SERIAL=")) continue;
    env.emplace_back(text);
  }
  env.push_back(std::string("VASQUILL_SOFTKEY_PROMPT=") + KindName(kind));
  env.push_back("VASQUILL_SOFTKEY_SERIAL=" + serial);
  return env;
}

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Waits for the child until the deadline; false when it is still running.
// *status is -1 when the host reaps children itself.
bool WaitChild(pid_t pid, Clock::time_point deadline, int* status) {
  while (true) {
    int raw = 0;
    pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid) {
      *status = raw;
      return true;
    }
    if (done < 0 && errno != EINTR) {
      *status = -1;  // ECHILD: SIGCHLD is ignored in this process
      return true;
    }
    if (RemainingMs(deadline) == 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void KillAndReap(pid_t pid) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

int32_t AskPin(PinKind kind, const std::string& serial, const std::string& prompt, std::string* pin) {
  std::vector<std::string> argv;
  bool quietErrors = false;
  if (const char* program = NonEmptyEnv("VASQUILL_SOFTKEY_ASKPASS")) {
    argv = {program, prompt};
  } else if (NonEmptyEnv("DISPLAY") != nullptr || NonEmptyEnv("WAYLAND_DISPLAY") != nullptr) {
    argv = {"zenity", "--entry", "--hide-text", "--title=Vasquill 软件UKey", "--text=" + prompt};
    quietErrors = true;
  } else {
    return kPinUnavailable;
  }

  Spawned child;
  int error = 0;
  if (!Spawn(argv, ChildEnvironment(kind, serial), quietErrors, &child, &error)) return kPinUnavailable;

  Clock::time_point deadline = Clock::now() + std::chrono::seconds(TimeoutSeconds());
  std::string answer;
  bool overflow = false;
  bool timedOut = false;
  char buffer[kMaxAnswer + 1];
  while (true) {
    pollfd entry{child.output, POLLIN, 0};
    int ready = poll(&entry, 1, RemainingMs(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      timedOut = true;  // cannot wait any more: treat as abandoned
      break;
    }
    if (ready == 0) {
      timedOut = true;
      break;
    }
    ssize_t got = read(child.output, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      break;
    }
    if (got == 0) break;
    answer.append(buffer, static_cast<size_t>(got));
    if (answer.size() > kMaxAnswer) {
      overflow = true;
      break;
    }
  }
  close(child.output);
  OPENSSL_cleanse(buffer, sizeof buffer);

  int status = 0;
  if (timedOut || overflow || !WaitChild(child.pid, deadline, &status)) {
    KillAndReap(child.pid);
    Wipe(answer);
    return overflow ? kPinUnavailable : kPinTimeout;
  }
  bool succeeded = status == -1 || (WIFEXITED(status) && WEXITSTATUS(status) == 0);
  if (!succeeded) {
    Wipe(answer);
    // 127: the program could not be executed at all.
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) return kPinUnavailable;
    return kPinCancelled;
  }
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  if (answer.empty()) return kPinCancelled;
  *pin = std::move(answer);
  return kOk;
}

}  // namespace softkey
