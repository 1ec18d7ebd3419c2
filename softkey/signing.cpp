// Signing and decryption exports.

#define UKEY_DRIVER_DECLARATIONS
#include "adapter/driver_interface.h"

#include <vector>

#include "softkey/driver_internal.h"
#include "softkey/pin.h"
#include "softkey/text.h"

namespace softkey {
namespace {

// nSrcDataType: the decoded data is the message itself, or the 32-byte
// digest e = SM3(Z || message) already computed.
constexpr int32_t kSourceMessage = 0;
constexpr int32_t kSourceDigest = 1;

// A DER SM2 signature has at most 72 bytes: 96 Base64 characters.
constexpr int32_t kSignatureText = 96;

// Refuses, before the PIN is asked, a buffer that cannot hold the answer.
int32_t NeedRoom(char* out, int32_t* len, int32_t needed) {
  if (*len >= needed) return kOk;
  if (*len > 0) out[0] = '\0';
  *len = needed;
  return kBufferTooSmall;
}

// What one signature signs.
struct Item {
  std::string data;
  bool isDigest = false;
};

// The data of a SignHash-style item: Base64, decoded, of the declared type.
int32_t DecodeItem(const char* text, int32_t type, Item* item) {
  if (text == nullptr) return kInvalidArgument;
  if (type != kSourceMessage && type != kSourceDigest) return kInvalidArgument;
  std::optional<std::string> bytes = Base64Decode(text);
  if (!bytes) return kDataInvalid;
  if (type == kSourceDigest && bytes->size() != 32) return kDataInvalid;
  item->data = std::move(*bytes);
  item->isDigest = type == kSourceDigest;
  return kOk;
}

// Signs item with the signing key of serial; the Base64 of the DER
// signature in *signature.  A text the page wants the user to see (a
// transaction to confirm) is always shown, with the PIN asked again as the
// confirmation, even when a PIN is cached.
int32_t SignItem(const std::string& serial, const Item& item, const std::string& note, std::string* signature) {
  PinMode mode = note.empty() ? PinMode::kCachedOrAsk : PinMode::kAlwaysAsk;
  return WithUnlockedKey(serial, mode, note, [&](KeyRecord& record, const std::string& kek, bool*) {
    if (!record.sign.Present()) return static_cast<int32_t>(kNoKeyPair);
    Pkey key = OpenPrivateKey(kek, serial, record.sign);
    if (!key) return static_cast<int32_t>(kStoreCorrupt);
    std::optional<std::string> der = item.isDigest ? SignDigest(key.get(), item.data) : SignMessage(key.get(), item.data);
    if (!der) return static_cast<int32_t>(kCryptoFailed);
    *signature = Base64Encode(*der);
    return static_cast<int32_t>(kOk);
  });
}

// The key whose signing certificate carries that subject name (the first by
// serial number when several do); an empty name selects the only key that
// holds a signing certificate.
int32_t SelectByName(const char* text, std::string* serial) {
  if (text == nullptr) return kInvalidArgument;
  std::string_view wanted = text;
  Name name;
  if (wanted.find_first_not_of(' ') != std::string_view::npos) {
    name = ParseName(wanted);
    if (!name) return kCertNotSelected;
  }
  std::vector<std::string> serials;
  if (int32_t code = ListSerials(&serials); code != kOk) return code;
  std::vector<std::string> found;
  for (const std::string& candidate : serials) {
    KeyRecord record;
    if (LoadRecord(candidate, &record) != kOk || record.sign.certificate.empty()) continue;
    Cert cert = ParseCertificateDer(record.sign.certificate);
    if (!cert) continue;
    if (!name || X509_NAME_cmp(X509_get_subject_name(cert.get()), name.get()) == 0) found.push_back(candidate);
  }
  if (found.empty() || (!name && found.size() != 1)) return kCertNotSelected;
  *serial = found.front();
  return kOk;
}


}  // namespace
}  // namespace softkey

using namespace softkey;

int32_t Sign(const char* szSN, int32_t nHashType, int32_t /*nFlag*/, const char* szData, const char* szWarningMsg,
             char* out, int32_t* outLen) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (szData == nullptr) return static_cast<int32_t>(kInvalidArgument);
    if (nHashType != kHashSm3) return static_cast<int32_t>(kHashTypeUnsupported);
    if (int32_t code = CheckOutput(out, outLen); code != kOk) return code;
    if (int32_t code = NeedRoom(out, outLen, kSignatureText + 1); code != kOk) return code;
    Item item{szData, false};
    std::string signature;
    if (int32_t code = SignItem(serial, item, szWarningMsg ? szWarningMsg : "", &signature); code != kOk) return code;
    return WriteText(out, outLen, signature);
  });
}

int32_t SignHash(const char* szSN, int32_t nHashType, int32_t /*nFlag*/, const char* szSrcData, int32_t nSrcDataType,
                 char* out, int32_t* outLen) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (nHashType != kHashSm3) return static_cast<int32_t>(kHashTypeUnsupported);
    if (int32_t code = CheckOutput(out, outLen); code != kOk) return code;
    if (int32_t code = NeedRoom(out, outLen, kSignatureText + 1); code != kOk) return code;
    Item item;
    if (int32_t code = DecodeItem(szSrcData, nSrcDataType, &item); code != kOk) return code;
    std::string signature;
    if (int32_t code = SignItem(serial, item, "", &signature); code != kOk) return code;
    return WriteText(out, outLen, signature);
  });
}

int32_t Batch_Sign(int32_t nType, const char* strTradeCertDn, int32_t tradeHashType, int32_t /*nTradeFlag*/,
                   const char* szTradeSrcData, const char* szTradeUI, const char* strNormalCertDn,
                   int32_t normalHashType, int32_t /*nNormalFlag*/, const char* szNormalSrcData,
                   int32_t nNormalSrcDataType, char* out, int32_t* outLen) {
  return Guarded([&] {
    // nType: 0 both items, 1 the trade item only, 2 the normal item only.
    if (nType < 0 || nType > 2) return static_cast<int32_t>(kInvalidArgument);
    bool trade = nType != 2;
    bool normal = nType != 1;
    if (int32_t code = CheckOutput(out, outLen); code != kOk) return code;
    int32_t room = (trade && normal ? 2 * kSignatureText + 1 : kSignatureText) + 1;
    if (int32_t code = NeedRoom(out, outLen, room); code != kOk) return code;
    Item tradeItem;
    Item normalItem;
    std::string tradeSerial;
    std::string normalSerial;
    if (trade) {
      if (szTradeSrcData == nullptr) return static_cast<int32_t>(kInvalidArgument);
      if (tradeHashType != kHashSm3) return static_cast<int32_t>(kHashTypeUnsupported);
      tradeItem.data = szTradeSrcData;
      if (int32_t code = SelectByName(strTradeCertDn, &tradeSerial); code != kOk) return code;
    }
    if (normal) {
      if (normalHashType != kHashSm3) return static_cast<int32_t>(kHashTypeUnsupported);
      if (int32_t code = DecodeItem(szNormalSrcData, nNormalSrcDataType, &normalItem); code != kOk) return code;
      if (int32_t code = SelectByName(strNormalCertDn, &normalSerial); code != kOk) return code;
    }
    std::string text;
    if (trade) {
      std::string signature;
      if (int32_t code = SignItem(tradeSerial, tradeItem, szTradeUI ? szTradeUI : "", &signature); code != kOk) {
        return code;
      }
      text = signature;
    }
    if (normal) {
      std::string signature;
      if (int32_t code = SignItem(normalSerial, normalItem, "", &signature); code != kOk) return code;
      if (!text.empty()) text += ',';
      text += signature;
    }
    return WriteText(out, outLen, text);
  });
}

int32_t AsymDec(const char* szSN, int32_t nKeyType, int32_t /*nFlag*/, const char* szSrcData, char* out,
                int32_t* len) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (szSrcData == nullptr) return static_cast<int32_t>(kInvalidArgument);
    if (nKeyType != kKeyTypeSm2) return static_cast<int32_t>(kKeyTypeUnsupported);
    if (int32_t code = CheckOutput(out, len); code != kOk) return code;
    std::optional<std::string> ciphertext = Base64Decode(szSrcData);
    if (!ciphertext || ciphertext->empty()) return static_cast<int32_t>(kDataInvalid);
    std::string plaintext;
    int32_t code = WithUnlockedKey(serial, PinMode::kCachedOrAsk, "", [&](KeyRecord& record, const std::string& kek,
                                                                         bool*) {
      if (!record.encryption.Present()) return static_cast<int32_t>(kNoKeyPair);
      Pkey key = OpenPrivateKey(kek, serial, record.encryption);
      if (!key) return static_cast<int32_t>(kStoreCorrupt);
      std::optional<std::string> plain = Sm2Decrypt(key.get(), *ciphertext);
      if (!plain) return static_cast<int32_t>(kDecryptFailed);
      plaintext = Base64Encode(*plain);
      Wipe(*plain);
      return static_cast<int32_t>(kOk);
    });
    if (code == kOk) code = WriteText(out, len, plaintext);
    Wipe(plaintext);
    return code;
  });
}
