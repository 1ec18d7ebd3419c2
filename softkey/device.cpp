// Device, driver, PIN, label, data and event exports.

#define UKEY_DRIVER_DECLARATIONS
#include "adapter/driver_interface.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>

#include "softkey/driver_internal.h"
#include "softkey/events.h"
#include "softkey/pin.h"
#include "softkey/text.h"

namespace softkey {

int32_t TakeSerial(const char* szSN, std::string* serial) {
  if (szSN == nullptr) return kInvalidArgument;
  if (!IsValidSerial(szSN)) return kInvalidSerial;
  *serial = szSN;
  return kOk;
}

int32_t CheckOutput(const char* out, const int32_t* len) {
  if (out == nullptr || len == nullptr) return kInvalidArgument;
  if (*len <= 0) return kBufferTooSmall;
  return kOk;
}

Pkey OpenPrivateKey(const std::string& kek, const std::string& serial, const KeyPair& keys) {
  std::optional<std::string> der = Unseal(kek, keys.sealedPrivateKey, SealContext(serial, keys));
  if (!der) return {};
  Pkey key = ParsePrivateKeyDer(*der);
  Wipe(*der);
  Pkey pub = ParsePublicKeyDer(keys.publicKey);
  if (!key || !SamePublicKey(key.get(), pub.get())) return {};
  return key;
}

KeyPair SealKeyPair(const std::string& kek, const std::string& serial, EVP_PKEY* key) {
  KeyPair keys;
  keys.publicKey = PublicKeyDer(key);
  std::string der = PrivateKeyDer(key);
  if (keys.publicKey.empty() || der.empty()) return {};
  keys.sealedPrivateKey = Seal(kek, der, SealContext(serial, keys));
  Wipe(der);
  return keys;
}

KeyRecord NewRecord(const std::string& serial, std::string* kek) {
  KeyRecord record;
  record.serial = serial;
  record.created = static_cast<int64_t>(std::time(nullptr));
  record.label = serial;
  record.pin = NewPinState(kDefaultPin, kek, nullptr);
  return record;
}

namespace {

int32_t ResetKey(const std::string& serial) {
  WriteLock lock;
  if (int32_t code = lock.Acquire(); code != kOk) return code;
  int32_t code = SaveRecord(NewRecord(serial, nullptr));
  ForgetPin(serial);
  return code;
}

// "UTF-8", "GBK", "GB18030" or "GB2312", any case; empty when unknown.
std::string NormalCharset(std::string_view name) {
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "UTF-8" || upper == "UTF8") return "UTF-8";
  if (upper == "GBK" || upper == "GB18030" || upper == "GB2312") return upper;
  return {};
}

// "zh", "zh_CN" or "zh-CN" style: two or three lower-case letters, then
// optionally "_" and two upper-case letters; empty when malformed.
std::string NormalLanguage(std::string_view name) {
  size_t split = name.find_first_of("_-");
  std::string_view language = name.substr(0, split);
  if (language.size() < 2 || language.size() > 3) return {};
  std::string normal;
  for (char c : language) {
    if (!std::isalpha(static_cast<unsigned char>(c))) return {};
    normal += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (split == std::string_view::npos) return normal;
  std::string_view region = name.substr(split + 1);
  if (region.size() != 2) return {};
  normal += '_';
  for (char c : region) {
    if (!std::isalpha(static_cast<unsigned char>(c))) return {};
    normal += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return normal;
}

std::string FormatDate(int64_t seconds) {
  std::time_t when = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), R_OK) == 0;
}

}  // namespace
}  // namespace softkey

using namespace softkey;

int32_t Initialize() {
  return Guarded([] { return kOk; });
}

int32_t Finalize() {
  return Guarded([] {
    ForgetAllPins();
    return kOk;
  });
}

int32_t GetDriverVersion(char* out, int32_t* len) {
  return Guarded([&] { return WriteText(out, len, kDriverVersion); });
}

int32_t GetDllVersion(char* out, int32_t* len) {
  return Guarded([&] { return WriteText(out, len, kDriverVersion); });
}

int32_t GetVidAndPid(char* out, int32_t* len) {
  // A software key has no USB identity.
  return Guarded([&] { return WriteText(out, len, "0000:0000"); });
}

int32_t GetPrintNumber(char* out, int32_t* len) {
  return Guarded([&] {
    std::vector<std::string> serials;
    if (int32_t code = ListSerials(&serials); code != kOk) return code;
    std::string text;
    for (const std::string& serial : serials) {
      if (!text.empty()) text += ',';
      text += serial;
    }
    return WriteText(out, len, text);
  });
}

int32_t GetVendorInfo(int32_t nFlag, char* out, int32_t* len) {
  return Guarded([&] {
    switch (nFlag) {
      case 0: return WriteText(out, len, "Vasquill");
      case 1: return WriteText(out, len, "Vasquill software UKey");
      default: return static_cast<int32_t>(kInvalidArgument);
    }
  });
}

int32_t CheckDriverIntegrity(int32_t /*nFlag*/, char* out, int32_t* len) {
  return Guarded([&] {
    if (int32_t code = CheckOutput(out, len); code != kOk) return code;
    // This library's file, its signature file beside it, and a usable store
    // folder.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&CheckDriverIntegrity), &info) == 0 || info.dli_fname == nullptr) {
      return static_cast<int32_t>(kIntegrityFailed);
    }
    std::string library = info.dli_fname;
    if (!IsRegularFile(library) || !IsRegularFile(library + ".sig")) return static_cast<int32_t>(kIntegrityFailed);
    std::string folder = StoreFolder();
    if (folder.empty()) return static_cast<int32_t>(kIntegrityFailed);
    // A missing folder is made by the first key; anything else in its place
    // is a fault.
    folder.pop_back();
    struct stat folderInfo {};
    if (stat(folder.c_str(), &folderInfo) == 0) {
      if (!S_ISDIR(folderInfo.st_mode) || access(folder.c_str(), R_OK | W_OK | X_OK) != 0) {
        return static_cast<int32_t>(kIntegrityFailed);
      }
    } else if (errno != ENOENT) {
      return static_cast<int32_t>(kIntegrityFailed);
    }
    return WriteText(out, len, "OK");
  });
}

int32_t RepairDriver() {
  return Guarded([] {
    // Creates the store folder and clears what interrupted writes left.
    WriteLock lock;
    return lock.Acquire();
  });
}

int32_t GetLastErrCode(int32_t* code) {
  // Reads the last code without replacing it.
  if (code == nullptr) return kInvalidArgument;
  *code = LastResult();
  return kOk;
}

int32_t GetErrorMsg(int32_t nErrorNo, char* out, int32_t* len) {
  // Leaves the last code alone, so that a page can ask for a text first.
  try {
    std::string_view text = ErrorText(nErrorNo);
    if (text.empty()) return kUnknownCode;
    return WriteText(out, len, text);
  } catch (...) {
    return kInternal;
  }
}

int32_t ChangePin(const char* szSN) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    return ChangeKeyPin(serial);
  });
}

int32_t InitUKey(const char* szSN) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    return ResetKey(serial);
  });
}

int32_t VerifyPIN(const char* szSN) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    return WithUnlockedKey(serial, PinMode::kAlwaysAsk, "",
                           [](KeyRecord&, const std::string&, bool*) { return static_cast<int32_t>(kOk); });
  });
}

int32_t GetPinInfo(const char* szSN, char* out, int32_t* len) {
  return Guarded([&] {
    std::string serial;
    KeyRecord record;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (int32_t code = CheckOutput(out, len); code != kOk) return code;
    if (int32_t code = LoadRecord(serial, &record); code != kOk) return code;
    std::string text = "{\"maxTries\":" + std::to_string(kMaxPinTries) +
                       ",\"triesLeft\":" + std::to_string(record.pin.triesLeft) +
                       ",\"locked\":" + (record.pin.triesLeft == 0 ? "true" : "false") +
                       ",\"defaultPin\":" + (record.pin.isDefault ? "true" : "false") +
                       ",\"cached\":" + (PinCached(serial, record.pin.salt) ? "true" : "false") + "}";
    return WriteText(out, len, text);
  });
}

int32_t RemovePinCache() {
  return Guarded([] {
    ForgetAllPins();
    return kOk;
  });
}

int32_t GetLabel(const char* szSN, char* out, int32_t* len) {
  return Guarded([&] {
    std::string serial;
    KeyRecord record;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (int32_t code = CheckOutput(out, len); code != kOk) return code;
    if (int32_t code = LoadRecord(serial, &record); code != kOk) return code;
    return WriteText(out, len, record.label);
  });
}

int32_t SetLabel(const char* szSN, const char* pszLabel) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (pszLabel == nullptr) return static_cast<int32_t>(kInvalidArgument);
    std::string label = pszLabel;
    if (label.size() > kLabelMaxBytes) return static_cast<int32_t>(kDataTooLarge);
    if (label.empty() || !IsCleanUtf8(label)) return static_cast<int32_t>(kInvalidArgument);
    return ModifyRecord(serial, [&](KeyRecord& record) {
      record.label = label;
      return static_cast<int32_t>(kOk);
    });
  });
}

int32_t SetCharset(const char* szSN, const char* szCharSet) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (szCharSet == nullptr) return static_cast<int32_t>(kInvalidArgument);
    std::string charset = NormalCharset(szCharSet);
    if (charset.empty()) return static_cast<int32_t>(kInvalidArgument);
    return ModifyRecord(serial, [&](KeyRecord& record) {
      record.charset = charset;
      return static_cast<int32_t>(kOk);
    });
  });
}

int32_t SetLanguage(const char* szSN, const char* szLan) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (szLan == nullptr) return static_cast<int32_t>(kInvalidArgument);
    std::string language = NormalLanguage(szLan);
    if (language.empty()) return static_cast<int32_t>(kInvalidArgument);
    return ModifyRecord(serial, [&](KeyRecord& record) {
      record.language = language;
      return static_cast<int32_t>(kOk);
    });
  });
}

int32_t SetData(const char* szSN, int32_t nFlag, const char* strData) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (strData == nullptr || nFlag < 0 || static_cast<size_t>(nFlag) >= kDataSlots) {
      return static_cast<int32_t>(kInvalidArgument);
    }
    std::string data = strData;
    if (data.size() > kDataSlotSize) return static_cast<int32_t>(kDataTooLarge);
    return ModifyRecord(serial, [&](KeyRecord& record) {
      record.data[static_cast<size_t>(nFlag)] = data;
      return static_cast<int32_t>(kOk);
    });
  });
}

int32_t GetData(const char* szSN, int32_t nFlag, char* out, int32_t* len) {
  return Guarded([&] {
    std::string serial;
    KeyRecord record;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (nFlag < 0 || static_cast<size_t>(nFlag) >= kDataSlots) return static_cast<int32_t>(kInvalidArgument);
    if (int32_t code = CheckOutput(out, len); code != kOk) return code;
    if (int32_t code = LoadRecord(serial, &record); code != kOk) return code;
    return WriteText(out, len, record.data[static_cast<size_t>(nFlag)]);
  });
}

std::string GetFirewareData(std::string szPrintNumber, int32_t nFlag) {
  std::string text;
  Guarded([&] {
    if (!IsValidSerial(szPrintNumber)) return static_cast<int32_t>(kInvalidSerial);
    KeyRecord record;
    if (int32_t code = LoadRecord(szPrintNumber, &record); code != kOk) return code;
    switch (nFlag) {
      case 0:
        text = kFirmwareVersion;
        return static_cast<int32_t>(kOk);
      case 1:
        text = "{\"serial\":" + JsonString(record.serial) + ",\"label\":" + JsonString(record.label) +
               ",\"charset\":" + JsonString(record.charset) + ",\"language\":" + JsonString(record.language) +
               ",\"created\":" + JsonString(FormatDate(record.created)) + "}";
        return static_cast<int32_t>(kOk);
      default:
        return static_cast<int32_t>(kInvalidArgument);
    }
  });
  return text;
}

int32_t WaitForKeyEvent(int32_t* event, char* out, int32_t* len) {
  return Guarded([&] {
    if (event == nullptr || out == nullptr || len == nullptr) return static_cast<int32_t>(kInvalidArgument);
    // Checked before waiting, so that no event is taken and then lost.
    if (*len < static_cast<int32_t>(kSerialMaxBytes + 1)) {
      *len = static_cast<int32_t>(kSerialMaxBytes + 1);
      return static_cast<int32_t>(kBufferTooSmall);
    }
    int32_t number = 0;
    std::string serial;
    if (int32_t code = WaitForEvent(&number, &serial); code != kOk) return code;
    *event = number;
    return WriteText(out, len, serial);
  });
}

int32_t StopDetectUKey() {
  return Guarded([] {
    StopWaits();
    return kOk;
  });
}
