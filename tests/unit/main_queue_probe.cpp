// A library loaded at run time that reaches its host's main queue.  It links
// only the client side of the main queue, so it carries no queue of its own.
#include "platform/main_queue_client.h"

extern "C" __attribute__((visibility("default"))) int probe_dispatch(void (*callback)(void*), void* context) {
  return platform::DispatchSyncToHostMain([callback, context] { callback(context); }) ? 1 : 0;
}
