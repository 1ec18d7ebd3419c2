#pragma once

#include <string>

namespace platform {

// The session's login items are XDG autostart entries: one desktop entry per
// application in the user's autostart folder (inside the install root when
// one is set).
std::string AutostartDirectory();

// Adds the bundle to the login items, replacing an older entry of the same
// name.  Returns false when the entry could not be written; callers that
// register themselves at start-up ignore that.
bool InsertLoginItem(const std::string& bundlePath);

}  // namespace platform
