#include "platform/date_format.h"

namespace platform {

std::string FormatLogDate(std::time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return std::string();
  char text[32];
  size_t length = std::strftime(text, sizeof text, "%m-%d %H:%M:%S", &local);
  return std::string(text, length);
}

}  // namespace platform
