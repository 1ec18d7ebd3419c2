#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The process list is /proc: one entry per process, named by its identifier.

// Identifiers of all processes at the moment of the call, from every numeric
// entry of /proc, in the order the directory lists them.
std::vector<pid_t> ProcessIdentifiers();

// Writes the executable path of the process into buffer as a zero-terminated
// text and returns its length.  Returns 0, leaving the buffer untouched, when
// the process has gone, its path cannot be read (another user's process, a
// kernel thread) or the path does not fit.  A process whose executable file
// was removed or replaced while it runs still reports the path it was started
// from.
std::size_t ProcessExecutablePath(pid_t pid, char* buffer, std::size_t size);

// The same as a string; empty when it cannot be read.
std::string ProcessExecutablePath(pid_t pid);

// The part of a path after its last "/" (the whole path when it has none).
std::string_view ExecutableName(std::string_view path);

}  // namespace platform
