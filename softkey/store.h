#pragma once

// The virtual keys: one store file per serial number in the store folder,
// replaced atomically on every change.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace softkey {

inline constexpr int32_t kMaxPinTries = 6;
inline constexpr uint32_t kPinIterations = 100000;
inline constexpr std::string_view kDefaultPin = "123456";
inline constexpr size_t kDataSlots = 8;
inline constexpr size_t kDataSlotSize = 4096;
inline constexpr size_t kLabelMaxBytes = 64;
inline constexpr size_t kSerialMaxBytes = 64;

// A key pair of the key; empty publicKey means absent.
struct KeyPair {
  std::string publicKey;         // SubjectPublicKeyInfo, DER
  std::string sealedPrivateKey;  // PKCS#8 DER sealed with the key-encryption key
  std::string certificate;       // X.509 DER, may be empty
  bool registered = false;

  bool Present() const { return !publicKey.empty(); }
};

struct PinState {
  uint32_t iterations = kPinIterations;
  std::string salt;      // 16 bytes
  std::string verifier;  // 32 bytes
  int32_t triesLeft = kMaxPinTries;
  bool isDefault = true;
};

struct KeyRecord {
  std::string serial;
  int64_t created = 0;  // seconds since the epoch
  std::string label;
  std::string charset = "UTF-8";
  std::string language = "zh_CN";
  PinState pin;
  KeyPair sign;     // the signing key pair and its certificate
  KeyPair pending;  // the key pair of a request not yet answered by a certificate
  KeyPair encryption;
  std::array<std::string, kDataSlots> data;
};

// Serial numbers: 1 to 64 of A-Z a-z 0-9 "_" "-" ".", not starting with ".".
bool IsValidSerial(std::string_view serial);

// The store folder with its trailing "/" (HOME of the password database
// under the install root); empty when the user has no home directory.
std::string StoreFolder();

// Serial numbers of the stores present, sorted: kOk (an absent folder holds
// no key) or kStoreIo when the folder cannot be read.
int32_t ListSerials(std::vector<std::string>* serials);

// The file's text for a record, and back.
std::string SerializeRecord(const KeyRecord& record);
// kOk, or kStoreCorrupt when the text is not a whole, valid store of serial.
int32_t ParseRecord(std::string_view text, std::string_view serial, KeyRecord* record);

// Reads the store of serial: kOk, kKeyNotFound, kStoreCorrupt or kStoreIo.
int32_t LoadRecord(const std::string& serial, KeyRecord* record);

// Writes the store of record.serial atomically: temporary file in the folder,
// fsync, rename over the store, fsync of the folder.  Call it holding the
// WriteLock.
int32_t SaveRecord(const KeyRecord& record);

// Creates the store folder (mode 0700) when missing.
int32_t EnsureStoreFolder();

// The exclusive lock of the store folder (flock on its ".lock" file), held by
// every read-modify-write of a store, across threads and processes.  Taking it
// also removes temporary files that an interrupted write left.
class WriteLock {
 public:
  WriteLock() = default;
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;
  ~WriteLock();
  // kOk or kStoreIo.
  int32_t Acquire();

 private:
  int fd_ = -1;
};

}  // namespace softkey
