#pragma once

#include <array>
#include <cstdint>
#include <string>

// Base64 with the standard alphabet and "=" padding.  The decoder does no
// validation: a byte outside the alphabet counts as -1 (all bits set), and
// decoding stops at the first "=" in the third or fourth place of a group.
class Base64 {
 public:
  static std::string encode64(const std::string& bytes);
  static std::string decode64(const std::string& text);

 private:
  static const char alphabet64[];
  static const std::array<int64_t, 256> table64;
};
