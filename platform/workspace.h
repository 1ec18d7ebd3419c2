#pragma once

#include <string>

namespace platform {

// Opens an application bundle the way the desktop's workspace does: starts its
// executable (Name.app/Contents/MacOS/Name) without arguments as a process of
// its own, in a new session, in "/", with its standard streams on /dev/null
// and default signal handling, and does not wait for it.  The started process
// is not a child of the caller, so it never lingers as a zombie.  Returns true
// once the executable has been started, false when it could not be (bundle
// missing, not executable, no process to be had).
bool OpenApplication(const std::string& bundlePath);

}  // namespace platform
