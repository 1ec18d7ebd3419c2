#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Detached signature files of libraries: the library's path with ".sig"
// appended.
//
//   type 0: 64 raw bytes r || s, an SM2 signature with SM3 and the default
//           identity over the library's bytes (e = SM3(Z || file));
//   type 1: Base64 of the DER SEQUENCE { r, s } (or of the raw 64 bytes), an
//           SM2 signature over e = SM3(file) itself.
//
// Libraries of 2 GiB or more, and files that cannot be read, never verify.

// The verification keys of a deliverable, as key texts (see SM2Verify).
struct SigFileKeys {
  std::string_view type0Key;
  std::string_view certificate;  // type 1
};

// True when the signature file of the library verifies with the given keys.
bool VerifyFileBySigFileWith(const std::string& path, int type, const SigFileKeys& keys);

// 1 when the 64-byte signature (further bytes are ignored) verifies over the
// message with the key, else 0.  Mode 0: the message is the signed data;
// mode 1: the message is e as hexadecimal text.  The key text is a PEM
// certificate, "X|Y" or "X,Y" hexadecimal coordinates (odd length, the
// separator in the middle and nowhere else), or a DER certificate.
int SM2Verify(const std::string& message, const std::string& signature, const std::string& key,
              int mode);

// Non-overlapping occurrences of the needle, counted from the left; an empty
// needle counts every position and the end.
size_t findcout(const std::string& text, const std::string& needle);

// The whole file; empty when it cannot be opened or read, or holds 2 GiB or
// more.
std::string ReadFile(const std::string& path, const std::string& mode);
