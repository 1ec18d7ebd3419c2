// A UKey vendor driver whose GetLabel, a function the adapter calls on the
// caller's thread, crashes the process with a write through a null pointer,
// as a faulty vendor driver would.  The service does not isolate drivers:
// the crash ends it, and its watchdog opens it again.

#define UKEY_DRIVER_DECLARATIONS
#include "adapter/driver_interface.h"

int32_t GetLabel(const char*, char*, int32_t*) {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
  return 0;
}
