#pragma once

#include <functional>

namespace platform {

// For code loaded into a process at run time: runs the closure on the main
// queue of the host process (see main_queue.h) and waits.  Returns false,
// without running it, when the host has no main queue.
bool DispatchSyncToHostMain(const std::function<void()>& work);

}  // namespace platform
