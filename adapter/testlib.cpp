// The entry points of the UKey adapter tarven_ukey, the only symbols the
// library exports (exports.map).

#include <cstdint>
#include <exception>
#include <string>

#include "adapter/error_codes.h"
#include "adapter/invoke.h"
#include "logfile/logfile.h"

#define ADAPTER_EXPORT extern "C" __attribute__((visibility("default")))

ADAPTER_EXPORT int32_t Initialize() {
  CreateFile("组件库初始化，日志版本v1.0.0.2\n");
  return 0;
}

ADAPTER_EXPORT int32_t Invoke(std::string request, std::string& reply) {
  // Nothing thrown inside may cross into the host; the call then ends with
  // -900 and no reply.
  try {
    return ukey::InvokeRequest(request, reply);
  } catch (const std::exception& error) {
    logFile(std::string("组件库异常:") + error.what());
  } catch (...) {
    logFile("组件库异常");
  }
  return ukey::kUnknownError;
}

ADAPTER_EXPORT int32_t Finalize() {
  logFile("组件库反初始化");
  return 0;
}
