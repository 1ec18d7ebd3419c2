#include "softkey/text.h"

#include <openssl/crypto.h>

#include <cstring>

#include "softkey/errors.h"

namespace softkey {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                 uint8_t(bytes[i + 2]);
    text += kAlphabet[(v >> 18) & 63];
    text += kAlphabet[(v >> 12) & 63];
    text += kAlphabet[(v >> 6) & 63];
    text += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (rest == 2) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    text += kAlphabet[(v >> 18) & 63];
    text += kAlphabet[(v >> 12) & 63];
    text += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  uint32_t accumulator = 0;
  int count = 0;    // sextets in the current quantum
  int padding = 0;  // "=" seen
  for (unsigned char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      // Padding completes a quantum of two or three sextets, whose unused
      // low bits must be zero.
      if (count < 2) return std::nullopt;
      ++padding;
      accumulator <<= 6;
      if (++count == 4) {
        if (padding == 2) {
          if (accumulator & 0xFFFF) return std::nullopt;
          bytes += char(accumulator >> 16);
        } else {
          if (accumulator & 0xFF) return std::nullopt;
          bytes += char(accumulator >> 16);
          bytes += char((accumulator >> 8) & 0xFF);
        }
        count = 0;
        accumulator = 0;
      }
      continue;
    }
    if (padding > 0) return std::nullopt;  // data after padding
    int value = Base64Value(c);
    if (value < 0) return std::nullopt;
    accumulator = (accumulator << 6) | uint32_t(value);
    if (++count == 4) {
      bytes += char(accumulator >> 16);
      bytes += char((accumulator >> 8) & 0xFF);
      bytes += char(accumulator & 0xFF);
      count = 0;
      accumulator = 0;
    }
  }
  if (count != 0) return std::nullopt;
  return bytes;
}

std::string HexEncode(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

std::optional<std::string> HexDecode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = digit(text[i]);
    int low = digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes += char(high * 16 + low);
  }
  return bytes;
}

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': json += "\\\""; break;
      case '\\': json += "\\\\"; break;
      case '\n': json += "\\n"; break;
      case '\r': json += "\\r"; break;
      case '\t': json += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          static constexpr char kDigits[] = "0123456789abcdef";
          json += "\\u00";
          json += kDigits[c >> 4];
          json += kDigits[c & 15];
        } else {
          json += char(c);
        }
    }
  }
  json += '"';
  return json;
}

bool IsCleanUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = text[i];
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F) return false;
      ++i;
      continue;
    }
    int extra;
    uint32_t point;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      point = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      point = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      point = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      unsigned char next = text[i + k];
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    static constexpr uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (point < kMinimum[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    if (point >= 0x80 && point < 0xA0) return false;  // C1 controls
    i += extra + 1;
  }
  return true;
}

int32_t WriteText(char* out, int32_t* len, std::string_view text) {
  if (out == nullptr || len == nullptr) return kInvalidArgument;
  int32_t size = *len;
  if (size <= 0 || text.size() >= static_cast<size_t>(size)) {
    if (size > 0) out[0] = '\0';
    *len = text.size() < static_cast<size_t>(INT32_MAX) ? static_cast<int32_t>(text.size() + 1)
                                                         : INT32_MAX;
    return kBufferTooSmall;
  }
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  *len = static_cast<int32_t>(text.size());
  return kOk;
}

void Wipe(std::string& secret) {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

}  // namespace softkey
