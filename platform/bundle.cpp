#include "platform/bundle.h"

#include <filesystem>
#include <system_error>

namespace platform {

std::string ExecutablePath() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string MainBundlePath() {
  std::filesystem::path executable = ExecutablePath();
  std::filesystem::path macos = executable.parent_path();
  std::filesystem::path contents = macos.parent_path();
  std::filesystem::path bundle = contents.parent_path();
  if (macos.filename() == "MacOS" && contents.filename() == "Contents" &&
      bundle.extension() == ".app") {
    return bundle.string();
  }
  return macos.string();
}

std::string BundleName(const std::string& bundlePath) {
  return std::filesystem::path(bundlePath).stem().string();
}

std::string BundleExecutablePath(const std::string& bundlePath) {
  return bundlePath + "/Contents/MacOS/" + BundleName(bundlePath);
}

std::string BundleResourcesPath(const std::string& bundlePath) {
  return bundlePath + "/Contents/Resources";
}

}  // namespace platform
