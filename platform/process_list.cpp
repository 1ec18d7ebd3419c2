#include "platform/process_list.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace platform {
namespace {

// What the kernel appends to the link of an executable that was unlinked.
constexpr std::string_view kDeletedSuffix = " (deleted)";

// The identifier an entry of /proc names, or -1 when it is not a process.
pid_t IdentifierOf(const char* name) {
  if (*name == '\0') return -1;
  long long value = 0;
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return -1;
    value = value * 10 + (*c - '0');
    if (value > 0x7fffffff) return -1;
  }
  return static_cast<pid_t>(value);
}

struct DirectoryCloser {
  void operator()(DIR* directory) const { closedir(directory); }
};

}  // namespace

std::vector<pid_t> ProcessIdentifiers() {
  std::vector<pid_t> identifiers;
  std::unique_ptr<DIR, DirectoryCloser> directory(opendir("/proc"));
  if (!directory) return identifiers;
  while (const dirent* entry = readdir(directory.get())) {
    pid_t pid = IdentifierOf(entry->d_name);
    if (pid >= 0) identifiers.push_back(pid);
  }
  return identifiers;
}

std::size_t ProcessExecutablePath(pid_t pid, char* buffer, std::size_t size) {
  if (pid <= 0 || buffer == nullptr || size < 2) return 0;
  char link[32];
  std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
  std::unique_ptr<char[]> target(new char[size]);
  // One byte is kept back so that a path that fills the buffer is known to be
  // cut off.
  ssize_t length = readlink(link, target.get(), size);
  if (length <= 0 || static_cast<std::size_t>(length) >= size) return 0;
  std::string_view path(target.get(), static_cast<std::size_t>(length));
  if (path.size() > kDeletedSuffix.size() && path.ends_with(kDeletedSuffix)) {
    path.remove_suffix(kDeletedSuffix.size());
  }
  std::memcpy(buffer, path.data(), path.size());
  buffer[path.size()] = '\0';
  return path.size();
}

std::string ProcessExecutablePath(pid_t pid) {
  char buffer[4096];
  std::size_t length = ProcessExecutablePath(pid, buffer, sizeof buffer);
  return std::string(buffer, length);
}

std::string_view ExecutableName(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace platform
