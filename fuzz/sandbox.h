#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What the fuzz targets share: the install root they work in and the files
// they lay out there.
namespace fuzz_sandbox {

// Ends the process unless the build has an install root of its own (never
// "" or "/"): the targets create and read files under it, and the product's
// paths must not reach the real system.
void RequirePrivateRoot();

// Writes a file (and the folders on its way) under the install root; the
// path is the product's absolute path.
void WriteRootedFile(const std::string& absolutePath, const std::string& contents);

// Removes a file or folder under the install root, if it is there.
void RemoveRooted(const std::string& absolutePath);

// Sends the product's console lines to /dev/null: libFuzzer reports on
// standard error, and millions of lines on standard output only slow it down.
void SilenceStandardOutput();

// The input as a byte string.
inline std::string Text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Ends the run with a message when a property of the code under test fails;
// libFuzzer keeps the input that did it.
[[noreturn]] void Fail(const std::string& what);

}  // namespace fuzz_sandbox
