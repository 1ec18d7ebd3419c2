#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace testing_support {

// The staged service application, started as a child process whose console
// output is collected.
class ServiceProcess {
 public:
  // Maximum open descriptors for the child; 0 keeps the inherited limit.
  explicit ServiceProcess(int descriptorLimit = 0);
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // The port from the service's "建立端口成功:" line once it listens there,
  // or 0 when no such line came within the limit.
  int WaitForPort(std::chrono::milliseconds limit = std::chrono::seconds(10));

  bool Running();
  pid_t Pid() const { return pid_; }
  std::string Output();
  void Stop();

 private:
  void CollectOutput(int fd);

  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
};

// Path of the staged service executable.
std::string ServiceExecutable();

// True when a socket listens on 127.0.0.1:port (or any address) per /proc.
bool ListeningOn(int port, std::string* localAddress = nullptr);

// Holds a port with a listening socket that does not share it.
class PortHolder {
 public:
  explicit PortHolder(int port);
  ~PortHolder();
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace testing_support
