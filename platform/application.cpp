#include "platform/application.h"

#include <system_error>
#include <thread>

#include "platform/main_queue.h"

namespace platform {

void RunApplication(ApplicationDelegate& delegate) {
  DispatchAsyncMain([&delegate] { delegate.ApplicationDidFinishLaunching(); });
  RunMainQueue();
}

bool DetachNewThread(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace platform
