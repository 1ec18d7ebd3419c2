#include "logfile/logfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/date_format.h"
#include "platform/install_root.h"
#include "platform/user.h"

namespace {

std::atomic<bool> logSwitch{LOGFILE_SWITCH_AT_LOAD};

std::string BuildLogDirectory() {
  std::string home = platform::HomeDirectory();
  if (home.empty()) return std::string();
  if (home.back() == '/') home.pop_back();
  return platform::RootedPath(home + "/Library/Caches/Halvorn/TARVEN/");
}

const std::string ndir = BuildLogDirectory();
const std::string nfile = ndir.empty() ? std::string() : ndir + LOGFILE_NAME;

// Appends to the log file if it exists; never creates it.
void AppendLine(const std::string& line) {
  if (nfile.empty()) return;
  int fd = open(nfile.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return;
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t written = write(fd, data, left);
    if (written <= 0) break;
    data += written;
    left -= static_cast<size_t>(written);
  }
  close(fd);
}

}  // namespace

bool setlogSwitch(bool on) {
  logSwitch.store(on, std::memory_order_relaxed);
  return on;
}

bool getlogSwitch() { return logSwitch.load(std::memory_order_relaxed); }

void CreateFile(const std::string& firstLine) {
  if (!getlogSwitch() || ndir.empty()) return;
  std::error_code error;
  if (!std::filesystem::exists(ndir, error)) std::filesystem::create_directories(ndir, error);
  if (!std::filesystem::exists(ndir, error)) return;
  std::ofstream out(nfile, std::ios::binary | std::ios::trunc);
  out << firstLine;
}

void logFile(const std::string& message) {
  if (!getlogSwitch()) return;
  AppendLine("[" + platform::FormatLogDate(std::time(nullptr)) + "]" + message + "\n");
}

void slogFile(const char* text) {
  if (!getlogSwitch() || text == nullptr) return;
  AppendLine(std::string(text) + "\n");
}

const std::string& LogDirectory() { return ndir; }
const std::string& LogFilePath() { return nfile; }
