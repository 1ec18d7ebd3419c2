#include "platform/main_queue_client.h"

#include <dlfcn.h>

namespace platform {
namespace {

using MainQueueSync = int (*)(void (*)(void*), void*);

MainQueueSync HostMainQueue() {
  static MainQueueSync entry =
      reinterpret_cast<MainQueueSync>(dlsym(RTLD_DEFAULT, "vasquill_main_queue_sync"));
  return entry;
}

void RunClosure(void* context) { (*static_cast<const std::function<void()>*>(context))(); }

}  // namespace

bool DispatchSyncToHostMain(const std::function<void()>& work) {
  MainQueueSync entry = HostMainQueue();
  if (entry == nullptr) return false;
  return entry(&RunClosure, const_cast<std::function<void()>*>(&work)) == 0;
}

}  // namespace platform
