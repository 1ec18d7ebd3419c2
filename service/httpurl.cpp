#include "service/httpurl.h"

#include <array>
#include <cstring>

namespace {

// The 67 byte values written unchanged (the space as "+").
constexpr std::array<bool, 256> BuildSafe() {
  std::array<bool, 256> safe{};
  for (int c = '0'; c <= '9'; ++c) safe[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) safe[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) safe[c] = true;
  for (char c : {' ', '*', '-', '.', '_'}) safe[static_cast<unsigned char>(c)] = true;
  return safe;
}

constexpr std::array<bool, 256> safe = BuildSafe();

int UpperHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string CHttpUrl::EncodeUrl(std::string text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const size_t length = std::strlen(text.c_str());
  std::string encoded;
  encoded.reserve(length * 3);
  for (size_t i = 0; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte == ' ') {
      encoded += '+';
    } else if (safe[byte]) {
      encoded += static_cast<char>(byte);
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 15];
    }
  }
  return encoded;
}

std::string CHttpUrl::DecodeUrl(std::string text) {
  const size_t length = std::strlen(text.c_str());
  std::string decoded;
  decoded.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == '+') {
      decoded += ' ';
    } else if (c == '%') {
      if (i + 1 == length) {
        decoded += '%';
      } else if (i + 2 < length && UpperHexValue(text[i + 1]) >= 0 && UpperHexValue(text[i + 2]) >= 0) {
        decoded += static_cast<char>(UpperHexValue(text[i + 1]) * 16 + UpperHexValue(text[i + 2]));
        i += 2;
      }
      // Otherwise the "%" is dropped and the next character is read as usual.
    } else {
      decoded += c;
    }
  }
  return decoded;
}
