#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace ukey {

// Merges the elements of "parameters" into one object the way pages rely
// on: each element is written as compact JSON text, cut after its first "{"
// and before its last "}", the pieces are joined with "," and wrapped in
// braces, and the result is parsed again.  Later members replace earlier
// ones of the same name.  False when the merged text does not parse (an
// empty object beside others, an element that is not an object, ...).
bool MergeParameters(const Json::Value& parameters, Json::Value& merged);

// The driver library of a vendor key (byte for byte, case-sensitive) under
// the install root; empty for a key outside the vendor table.
std::string VendorDriverPath(const std::string& vendor);

// Admits a driver: the file must exist, its ".sig" file must exist and
// verify as a type-1 signature, and the library must load.  Returns 0 with
// the handle, or -924 (no file, does not load) or -904 (signature).  Runs in
// full on every call; a library loaded before yields the same handle.
int32_t AdmitDriver(const std::string& path, void*& handle);

// The handle of the driver loaded last by any call (null before the first).
void* LastLoadedDriver();

// Size of the output buffer of a signing call for n bytes of data:
// (n + 4096) * 4, at least 1048576.  False when that does not fit a signed
// 32-bit integer.
bool SigningBufferSize(std::size_t n, int32_t& outLen);

}  // namespace ukey
