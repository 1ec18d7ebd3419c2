#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace softkey {

// Standard Base64 with "=" padding, no line breaks.
std::string Base64Encode(std::string_view bytes);
// Decodes standard Base64; spaces, tabs and line breaks are skipped.  Padding
// is required when the length asks for it; anything else fails.
std::optional<std::string> Base64Decode(std::string_view text);

// Upper-case hexadecimal.
std::string HexEncode(std::string_view bytes);
std::optional<std::string> HexDecode(std::string_view text);

// A JSON string literal (with its quotation marks) for UTF-8 text.
std::string JsonString(std::string_view text);

// Whether text is well-formed UTF-8 without control characters (below 0x20
// and 0x7F).
bool IsCleanUtf8(std::string_view text);

// Writes text and its NUL into the caller's buffer of *len bytes.  On success
// *len becomes the text's length; when it does not fit, nothing but a
// leading NUL is written, *len becomes the size needed (with the NUL) and the
// result is kBufferTooSmall.
int32_t WriteText(char* out, int32_t* len, std::string_view text);

// Overwrites a secret in memory.
void Wipe(std::string& secret);

}  // namespace softkey
