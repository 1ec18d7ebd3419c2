#include "tests/support/service_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/install_root.h"

namespace testing_support {

std::string ServiceExecutable() {
  return platform::RootedPath("/Applications/Vasquill.app/Contents/MacOS/Vasquill");
}

ServiceProcess::ServiceProcess(int descriptorLimit) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
  const std::string executable = ServiceExecutable();
  pid_ = fork();
  if (pid_ == 0) {
    // A test that ends early (a crash, or ctest's time limit) takes its
    // service with it, so that no service is left on the ports for the
    // tests after it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(pipeFds[1], STDOUT_FILENO);
    if (descriptorLimit > 0) {
      rlimit limit{static_cast<rlim_t>(descriptorLimit), static_cast<rlim_t>(descriptorLimit)};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    execl(executable.c_str(), executable.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid_ < 0) {
    close(pipeFds[0]);
    return;
  }
  reader_ = std::thread([this, fd = pipeFds[0]] { CollectOutput(fd); });
}

ServiceProcess::~ServiceProcess() { Stop(); }

void ServiceProcess::CollectOutput(int fd) {
  char piece[4096];
  for (;;) {
    ssize_t count = read(fd, piece, sizeof piece);
    if (count <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    output_.append(piece, static_cast<size_t>(count));
    changed_.notify_all();
  }
  close(fd);
}

int ServiceProcess::WaitForPort(std::chrono::milliseconds limit) {
  static const std::string kMarker = "建立端口成功:";
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int port = 0;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [&] {
      size_t at = output_.find(kMarker);
      if (at == std::string::npos || output_.find('\n', at) == std::string::npos) return false;
      port = std::atoi(output_.c_str() + at + kMarker.size());
      return true;
    });
  }
  // The line comes between bind and listen.
  while (port != 0 && !ListeningOn(port)) {
    if (std::chrono::steady_clock::now() > deadline) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return port;
}

bool ServiceProcess::Running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

std::string ServiceProcess::Output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

void ServiceProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
}

bool ListeningOn(int port, std::string* localAddress) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // heading
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
      if (localAddress) *localAddress = local.substr(0, local.size() - 5);
      return true;
    }
  }
  return false;
}

PortHolder::PortHolder(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Connections the service closed linger in TIME_WAIT on its ports; they do
  // not make a port busy for a listener.
  int on = 1;
  if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (fd_ >= 0 && (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 1) != 0)) {
    close(fd_);
    fd_ = -1;
  }
}

PortHolder::~PortHolder() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace testing_support
