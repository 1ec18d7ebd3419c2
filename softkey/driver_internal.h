#pragma once

// Helpers shared by the driver's exports.

#include <cstdint>
#include <exception>
#include <string>

#include "softkey/crypto.h"
#include "softkey/errors.h"
#include "softkey/store.h"

namespace softkey {

// The driver's only key type (keyType, nKeyType) and hash type (SGD_SM3 of
// GM/T 0006).
inline constexpr int32_t kKeyTypeSm2 = 1;
inline constexpr int32_t kHashSm3 = 1;
// certType.
inline constexpr int32_t kCertSign = 1;
inline constexpr int32_t kCertEncryption = 2;

inline constexpr const char* kDriverVersion = "1.0.0";
inline constexpr const char* kFirmwareVersion = "1.0.0";

// Runs an export's body: no exception leaves the driver, and the result
// becomes the last error code.
template <typename Body>
int32_t Guarded(Body&& body) {
  int32_t code;
  try {
    code = body();
  } catch (...) {
    code = kInternal;
  }
  RecordResult(code);
  return code;
}

// The serial number of a text-in argument: kOk, kInvalidArgument (null) or
// kInvalidSerial.
int32_t TakeSerial(const char* szSN, std::string* serial);

// Checks an output buffer's arguments before any work is done.
int32_t CheckOutput(const char* out, const int32_t* len);

// Reads the store of serial, changes it with change and saves it, under the
// WriteLock; nothing is saved when change fails.
template <typename Change>
int32_t ModifyRecord(const std::string& serial, Change&& change) {
  WriteLock lock;
  if (int32_t code = lock.Acquire(); code != kOk) return code;
  KeyRecord record;
  if (int32_t code = LoadRecord(serial, &record); code != kOk) return code;
  if (int32_t code = change(record); code != kOk) return code;
  return SaveRecord(record);
}

// The private key of a pair, unsealed with the key-encryption key; null when
// the store's key does not open.
Pkey OpenPrivateKey(const std::string& kek, const std::string& serial, const KeyPair& keys);

// A key pair's private key sealed for the store.
KeyPair SealKeyPair(const std::string& kek, const std::string& serial, EVP_PKEY* key);

// A fresh record for serial: default PIN, no keys; *kek the default PIN's
// key-encryption key when not null.
KeyRecord NewRecord(const std::string& serial, std::string* kek);

}  // namespace softkey
