#include "fuzz/sandbox.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/install_root.h"

namespace fuzz_sandbox {

void RequirePrivateRoot() {
  const std::string_view root = platform::InstallRoot();
  if (root.empty() || root == "/") {
    std::fprintf(stderr, "fuzz targets need a build with an install root of its own (VASQUILL_ROOT)\n");
    std::abort();
  }
}

void WriteRootedFile(const std::string& absolutePath, const std::string& contents) {
  const std::filesystem::path path = platform::RootedPath(absolutePath);
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

void RemoveRooted(const std::string& absolutePath) {
  std::error_code error;
  std::filesystem::remove_all(platform::RootedPath(absolutePath), error);
}

void SilenceStandardOutput() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "property failed: %s\n", what.c_str());
  std::abort();
}

}  // namespace fuzz_sandbox
