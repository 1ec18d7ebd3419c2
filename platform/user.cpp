#include "platform/user.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace platform {
namespace {

// Looks the effective user up; false when there is no entry.
bool LookUpEffectiveUser(std::string* name, std::string* home) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  if (name) *name = entry.pw_name ? entry.pw_name : "";
  if (home) *home = entry.pw_dir ? entry.pw_dir : "";
  return true;
}

}  // namespace

std::string UserName() {
  std::string name;
  LookUpEffectiveUser(&name, nullptr);
  return name;
}

std::string HomeDirectory() {
  std::string home;
  LookUpEffectiveUser(nullptr, &home);
  return home;
}

}  // namespace platform
