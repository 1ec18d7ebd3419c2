#pragma once

// Helpers for tests that start programs and watch the processes they leave:
// children with files for their streams, the process list, waiting with a
// limit, and the listening ports of a process.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace process_tools {

using Clock = std::chrono::steady_clock;

// A child process.  Its standard input reads a text given at the start (end
// of input after it); its standard output and error go to files.  The
// destructor ends it (SIGKILL) and reaps it if it still runs.
class Child {
 public:
  struct Options {
    std::string input;               // fed to standard input
    std::string outputFile;          // "" for /dev/null
    std::string errorFile;           // "" for /dev/null
    std::map<std::string, std::optional<std::string>> environment;  // set, or unset when nullopt
    std::string workingDirectory;    // "" keeps the test's
  };

  Child() = default;
  Child(const std::vector<std::string>& argv, const Options& options);
  ~Child();
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return pid_; }
  bool Started() const { return pid_ > 0; }

  // Whether it still runs (reaps it when it has ended).
  bool Running();
  // Waits until it ends; its wait status, or nullopt when the limit passed.
  std::optional<int> Wait(std::chrono::milliseconds limit);
  // Sends the signal (while it runs) and reaps it.
  void Kill(int signal = 9);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Makes this process the reaper of its orphaned descendants, so that what the
// programs it starts leave behind becomes its child and can be ended here.
void BecomeSubreaper();

// Children of this process whose executable is the given path.
std::vector<pid_t> ChildrenRunning(const std::string& executable);

// Every process (visible to us) whose executable name is exactly the name.
std::vector<pid_t> ProcessesNamed(const std::string& name);

// Ends (SIGKILL) and reaps every child of this process that runs one of the
// executables.
void KillChildrenRunning(const std::vector<std::string>& executables);

// Reaps children that have ended.
void ReapEnded();

// Polls the condition every 20 ms until it holds or the limit passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);

// The first TCP port in [first, last] that the process listens on, or 0.
int ListeningPort(pid_t pid, int first, int last);

// Whole file contents ("" when missing).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents, unsigned mode = 0644);

// Copies a file, creating the folders on its way, with the given mode.
void InstallFile(const std::string& from, const std::string& to, unsigned mode = 0755);

// Seconds since the given moment.
double SecondsSince(Clock::time_point start);

}  // namespace process_tools
