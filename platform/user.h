#pragma once

#include <string>

namespace platform {

// Login name of the effective user; empty when the password database has no
// entry for it.
std::string UserName();

// Home directory of the effective user from the password database; empty when
// unknown.
std::string HomeDirectory();

}  // namespace platform
