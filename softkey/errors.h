#pragma once

#include <cstdint>
#include <string_view>

namespace softkey {

// Result codes of the soft key driver.  0 is success; every failure is a
// positive code 0x0B0000xx, well away from the service's and the adapter's
// own codes (0, -2, -900 to -930).
enum Code : int32_t {
  kOk = 0,
  kInternal = 0x0B000001,           // unexpected internal failure
  kInvalidArgument = 0x0B000002,    // missing pointer or an argument out of range
  kBufferTooSmall = 0x0B000003,     // the output does not fit the caller's buffer
  kInvalidSerial = 0x0B000004,      // the serial number is not a valid key name
  kKeyNotFound = 0x0B000005,        // no key of that serial number
  kStoreCorrupt = 0x0B000006,       // the key's store file is damaged
  kStoreIo = 0x0B000007,            // the store folder or file cannot be read or written
  kPinUnavailable = 0x0B000008,     // no way to ask for the PIN
  kPinCancelled = 0x0B000009,       // the PIN entry was cancelled
  kPinTimeout = 0x0B00000A,         // the PIN entry took too long
  kPinIncorrect = 0x0B00000B,       // wrong PIN (tries left)
  kPinLocked = 0x0B00000C,          // the PIN is locked
  kPinInvalid = 0x0B00000D,         // the new PIN does not meet the rules
  kPinMismatch = 0x0B00000E,        // the two entries of the new PIN differ
  kKeyChanged = 0x0B00000F,         // the key changed during the operation
  kNoKeyPair = 0x0B000010,          // the key holds no key pair for the operation
  kNoCert = 0x0B000011,             // the key holds no such certificate
  kCertInvalid = 0x0B000012,        // the certificate does not parse
  kCertKeyMismatch = 0x0B000013,    // the certificate matches no key pair of the key
  kRequestInfoInvalid = 0x0B000014, // the subject text of a request is malformed
  kHashTypeUnsupported = 0x0B000015,
  kKeyTypeUnsupported = 0x0B000016,
  kDataInvalid = 0x0B000017,        // input data malformed (Base64, sizes, types)
  kDecryptFailed = 0x0B000018,      // the ciphertext does not decrypt with the key
  kCryptoFailed = 0x0B000019,       // a cryptographic operation failed
  kDetectionStopped = 0x0B00001A,   // StopDetectUKey ended the wait
  kUnknownCode = 0x0B00001B,        // GetErrorMsg: the code is not the driver's
  kDataTooLarge = 0x0B00001C,       // text or data too long for the key
  kCertNotSelected = 0x0B00001D,    // no single key holds a certificate of that name
  kIntegrityFailed = 0x0B00001E,    // the installed driver is incomplete
};

// Text of a driver code (Chinese, as pages show it); empty for a code that is
// not the driver's.
std::string_view ErrorText(int32_t code);

// The code of the driver's most recent call (GetLastErrCode).
void RecordResult(int32_t code);
int32_t LastResult();

}  // namespace softkey
