#include "platform/install_root.h"

namespace platform {

std::string_view InstallRoot() { return VASQUILL_ROOT; }

std::string RootedPath(std::string_view absolutePath) {
  std::string path(InstallRoot());
  path += absolutePath;
  return path;
}

}  // namespace platform
