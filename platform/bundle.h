#pragma once

#include <string>

namespace platform {

// Application bundles keep the desktop layout: Name.app/Contents/MacOS/Name
// for the executable, Name.app/Contents/Resources for its resources.

// Absolute path of the running executable ("" when it cannot be read).
std::string ExecutablePath();

// The bundle that holds the running executable; a program that does not live
// in a bundle is its own folder's bundle.
std::string MainBundlePath();

// "Name" for ".../Name.app".
std::string BundleName(const std::string& bundlePath);

// ".../Name.app/Contents/MacOS/Name".
std::string BundleExecutablePath(const std::string& bundlePath);

// ".../Name.app/Contents/Resources".
std::string BundleResourcesPath(const std::string& bundlePath);

}  // namespace platform
