#include "tests/integration/process_tools.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

#include "platform/process_list.h"

namespace process_tools {
namespace {

// The parent of a process per /proc/PID/stat, or -1.
pid_t ParentOf(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  // The command name in parentheses may hold blanks; the fields after it do not.
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  pid_t parent = -1;
  fields >> state >> parent;
  return fields ? parent : -1;
}

int OpenOrNull(const std::string& path, int flags) {
  if (path.empty()) return open("/dev/null", O_RDWR);
  return open(path.c_str(), flags, 0644);
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const Options& options) {
  std::vector<char*> arguments;
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  int input[2];
  if (pipe(input) != 0) return;
  int output = OpenOrNull(options.outputFile, O_WRONLY | O_CREAT | O_TRUNC);
  int error = OpenOrNull(options.errorFile, O_WRONLY | O_CREAT | O_TRUNC);

  pid_ = fork();
  if (pid_ == 0) {
    dup2(input[0], 0);
    dup2(output, 1);
    dup2(error, 2);
    close_range(3, ~0U, 0);
    for (const auto& [name, value] : options.environment) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
    signal(SIGPIPE, SIG_DFL);
    execv(arguments[0], arguments.data());
    _exit(127);
  }
  close(input[0]);
  close(output);
  close(error);
  if (pid_ > 0 && !options.input.empty()) {
    ssize_t written = write(input[1], options.input.data(), options.input.size());
    (void)written;
  }
  close(input[1]);
}

Child::~Child() {
  if (pid_ > 0) Kill(SIGKILL);
}

Child::Child(Child&& other) noexcept : pid_(other.pid_), status_(other.status_) { other.pid_ = -1; }

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    if (pid_ > 0) Kill(SIGKILL);
    pid_ = other.pid_;
    status_ = other.status_;
    other.pid_ = -1;
  }
  return *this;
}

bool Child::Running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = status;
    return false;
  }
  return true;
}

std::optional<int> Child::Wait(std::chrono::milliseconds limit) {
  WaitUntil([this] { return !Running(); }, limit);
  return status_;
}

void Child::Kill(int signal) {
  if (Running()) {
    kill(pid_, signal);
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) status_ = status;
  }
}

void BecomeSubreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

std::vector<pid_t> ChildrenRunning(const std::string& executable) {
  std::vector<pid_t> found;
  for (pid_t pid : platform::ProcessIdentifiers()) {
    if (ParentOf(pid) == getpid() && platform::ProcessExecutablePath(pid) == executable) found.push_back(pid);
  }
  return found;
}

std::vector<pid_t> ProcessesNamed(const std::string& name) {
  std::vector<pid_t> found;
  for (pid_t pid : platform::ProcessIdentifiers()) {
    std::string path = platform::ProcessExecutablePath(pid);
    if (!path.empty() && platform::ExecutableName(path) == name) found.push_back(pid);
  }
  return found;
}

void KillChildrenRunning(const std::vector<std::string>& executables) {
  for (const std::string& executable : executables) {
    for (pid_t pid : ChildrenRunning(executable)) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
}

void ReapEnded() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  Clock::time_point end = Clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int ListeningPort(pid_t pid, int first, int last) {
  std::set<std::string> sockets;
  std::error_code error;
  std::string fdFolder = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(fdFolder, error)) {
    std::error_code linkError;
    std::string target = std::filesystem::read_symlink(entry.path(), linkError).string();
    if (!linkError && target.starts_with("socket:[")) sockets.insert(target.substr(8, target.size() - 9));
  }
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream lines(ReadFile(table));
    std::string line;
    std::getline(lines, line);  // heading
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (!fields || state != "0A" || !sockets.count(inode)) continue;
      int port = static_cast<int>(std::strtol(local.substr(local.find(':') + 1).c_str(), nullptr, 16));
      if (port >= first && port <= last) return port;
    }
  }
  return 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& contents, unsigned mode) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
  }
  std::filesystem::permissions(path, static_cast<std::filesystem::perms>(mode));
}

void InstallFile(const std::string& from, const std::string& to, unsigned mode) {
  std::filesystem::create_directories(std::filesystem::path(to).parent_path());
  // A new file, so that a program still running from the old one is not hit.
  std::filesystem::remove(to);
  std::filesystem::copy_file(from, to);
  std::filesystem::permissions(to, static_cast<std::filesystem::perms>(mode));
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace process_tools
