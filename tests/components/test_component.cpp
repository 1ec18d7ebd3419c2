// A component for the service's tests.  What it does is chosen when it is
// built:
//   COMPONENT_INITIALIZE_CODE  Initialize's result; undefined: no Initialize
//   COMPONENT_INVOKE_echo, COMPONENT_INVOKE_silent, COMPONENT_INVOKE_sleep
//                              what Invoke does; none of them: no Invoke
//   COMPONENT_PADDING          bytes of constant data that make the file large
// Every variant has Finalize, which returns 0.

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#define COMPONENT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
int initializations = 0;
}

#ifdef COMPONENT_PADDING
__attribute__((used)) const unsigned char padding[COMPONENT_PADDING] = {1};
#endif

#ifdef COMPONENT_INITIALIZE_CODE
COMPONENT_EXPORT int Initialize() {
  ++initializations;
  return COMPONENT_INITIALIZE_CODE;
}
#endif

#if defined(COMPONENT_INVOKE_echo) || defined(COMPONENT_INVOKE_silent) || defined(COMPONENT_INVOKE_sleep)
COMPONENT_EXPORT int Invoke(std::string call, std::string& reply) {
#if defined(COMPONENT_INVOKE_echo)
  // The call text back as the result value, and how often Initialize ran.
  reply = "{\"initializations\":" + std::to_string(initializations) + ",\"returnvalue\":\"" + call + "\"}\n";
  return 7;
#elif defined(COMPONENT_INVOKE_silent)
  (void)call;
  (void)reply;
  return 5;
#else
  // Sleeps for the number of milliseconds the call text gives.
  std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(call.c_str())));
  reply = "{\"slept\":" + std::to_string(std::atoi(call.c_str())) + "}\n";
  return 0;
#endif
}
#endif

COMPONENT_EXPORT int Finalize() { return 0; }
