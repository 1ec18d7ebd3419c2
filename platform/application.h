#pragma once

#include <functional>

namespace platform {

// The application shell: the main thread runs the main queue for the life of
// the process; the delegate hears when launching has finished.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void ApplicationDidFinishLaunching() = 0;
};

// Runs the application's event loop on the calling (main) thread; it does not
// end.
[[noreturn]] void RunApplication(ApplicationDelegate& delegate);

// Starts a detached thread; false when the system refused one.
bool DetachNewThread(std::function<void()> body);

}  // namespace platform
