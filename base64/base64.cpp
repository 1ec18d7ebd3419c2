#include "base64/base64.h"

#define VASQUILL_BASE64_ALPHABET "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"

const char Base64::alphabet64[] = VASQUILL_BASE64_ALPHABET;

namespace {

// Position in the alphabet for its 64 characters, -1 for every other byte.
constexpr std::array<int64_t, 256> BuildTable() {
  std::array<int64_t, 256> table{};
  for (auto& entry : table) entry = -1;
  constexpr char alphabet[] = VASQUILL_BASE64_ALPHABET;
  for (int position = 0; position < 64; ++position) {
    table[static_cast<unsigned char>(alphabet[position])] = position;
  }
  return table;
}

}  // namespace

const std::array<int64_t, 256> Base64::table64 = BuildTable();

std::string Base64::encode64(const std::string& bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t group = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
    text += alphabet64[(group >> 18) & 63];
    text += alphabet64[(group >> 12) & 63];
    text += alphabet64[(group >> 6) & 63];
    text += alphabet64[group & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest == 1) {
    uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    text += alphabet64[(group >> 18) & 63];
    text += alphabet64[(group >> 12) & 63];
    text += "==";
  } else if (rest == 2) {
    uint32_t group = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8);
    text += alphabet64[(group >> 18) & 63];
    text += alphabet64[(group >> 12) & 63];
    text += alphabet64[(group >> 6) & 63];
    text += '=';
  }
  return text;
}

std::string Base64::decode64(const std::string& text) {
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3 + 3);
  const size_t length = text.size();
  auto value = [&](size_t index) -> int64_t {
    return index < length ? table64[static_cast<unsigned char>(text[index])] : -1;
  };
  for (size_t offset = 0; offset < length; offset += 4) {
    const int64_t t0 = value(offset);
    const int64_t t1 = value(offset + 1);
    bytes += static_cast<char>((t0 * 4) + ((t1 / 16) % 4));
    if (offset + 2 < length) {
      if (text[offset + 2] == '=') break;
      const int64_t t2 = value(offset + 2);
      bytes += static_cast<char>((t1 * 16) | ((t2 / 4) % 16));
      if (offset + 3 < length) {
        if (text[offset + 3] == '=') break;
        bytes += static_cast<char>((t2 * 64) | value(offset + 3));
      }
    }
  }
  return bytes;
}
