#pragma once

#include <string>
#include <string_view>

namespace platform {

// The compile-time install root ("" in a real installation).
std::string_view InstallRoot();

// The install root followed by an absolute path of the product.
std::string RootedPath(std::string_view absolutePath);

}  // namespace platform
