#pragma once

#include <array>
#include <cstring>
#include <string>

#include "adapter/driver_interface.h"

namespace ukey {

// The fixed text-out buffer of a driver call, all zero bytes until the
// driver writes.
class TextBuffer {
 public:
  char* data() { return bytes_.data(); }
  // The text up to the first zero byte, or the whole buffer when the driver
  // left none.
  std::string Text() const { return std::string(bytes_.data(), strnlen(bytes_.data(), bytes_.size())); }

 private:
  std::array<char, ukey_driver::kTextBufferSize> bytes_{};
};

}  // namespace ukey
