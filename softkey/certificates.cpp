// Certificate request, import and query exports.

#define UKEY_DRIVER_DECLARATIONS
#include "adapter/driver_interface.h"

#include <climits>

#include "softkey/driver_internal.h"
#include "softkey/pin.h"
#include "softkey/text.h"

namespace softkey {
namespace {

// A new key pair and its request: the request's Base64 text in *request and
// the pair, sealed, as the record's pending pair.
int32_t MakePendingRequest(KeyRecord& record, const std::string& kek, const X509_NAME* subject,
                           std::string* request) {
  Pkey key = GenerateSm2Key();
  if (!key) return kCryptoFailed;
  std::string der = MakeRequest(key.get(), subject);
  if (der.empty()) return kCryptoFailed;
  KeyPair pending = SealKeyPair(kek, record.serial, key.get());
  if (!pending.Present()) return kCryptoFailed;
  record.pending = std::move(pending);
  *request = Base64Encode(der);
  return kOk;
}

int32_t GenerateRequest(const std::string& serial, bool initialise, const char* info, char* out, int32_t* len) {
  if (info == nullptr) return kInvalidArgument;
  if (int32_t code = CheckOutput(out, len); code != kOk) return code;
  Name subject = ParseName(info);
  if (!subject) return kRequestInfoInvalid;
  std::string request;
  // Checked before the store changes, so that a request that cannot be
  // returned leaves no key behind.
  auto fits = [&] { return request.size() < static_cast<size_t>(*len); };
  if (initialise) {
    // A reset key has the default PIN: nothing to ask.
    WriteLock lock;
    if (int32_t code = lock.Acquire(); code != kOk) return code;
    std::string kek;
    KeyRecord record = NewRecord(serial, &kek);
    int32_t code = MakePendingRequest(record, kek, subject.get(), &request);
    Wipe(kek);
    if (code != kOk) return code;
    if (!fits()) return WriteText(out, len, request);
    code = SaveRecord(record);
    ForgetPin(serial);
    if (code != kOk) return code;
    return WriteText(out, len, request);
  }
  int32_t code = WithUnlockedKey(serial, PinMode::kCachedOrAsk, "",
                                 [&](KeyRecord& record, const std::string& kek, bool* modified) {
                                   int32_t made = MakePendingRequest(record, kek, subject.get(), &request);
                                   if (made != kOk) return made;
                                   if (!fits()) return static_cast<int32_t>(kBufferTooSmall);
                                   *modified = true;
                                   return static_cast<int32_t>(kOk);
                                 });
  // Too small a buffer: WriteText answers with the size needed.
  if (code != kOk && code != kBufferTooSmall) return code;
  return WriteText(out, len, request);
}

// Files a certificate with the key pair whose public key it carries: the
// pending pair (which becomes the signing pair), the signing pair or the
// encryption pair.
int32_t FileCertificate(KeyRecord& record, X509* cert) {
  EVP_PKEY* certKey = X509_get0_pubkey(cert);
  if (!IsSm2Key(certKey)) return kCertKeyMismatch;
  std::string der = CertificateDer(cert);
  if (der.empty()) return kCertInvalid;
  auto matches = [certKey](const KeyPair& keys) {
    if (!keys.Present()) return false;
    Pkey pub = ParsePublicKeyDer(keys.publicKey);
    return SamePublicKey(pub.get(), certKey);
  };
  if (matches(record.pending)) {
    record.sign = std::move(record.pending);
    record.pending = KeyPair{};
    record.sign.certificate = der;
    record.sign.registered = false;
    return kOk;
  }
  for (KeyPair* keys : {&record.sign, &record.encryption}) {
    if (matches(*keys)) {
      keys->certificate = der;
      keys->registered = false;
      return kOk;
    }
  }
  return kCertKeyMismatch;
}

int32_t CheckTypes(int32_t certType, int32_t keyType) {
  if (certType != kCertSign && certType != kCertEncryption) return kInvalidArgument;
  if (keyType != kKeyTypeSm2) return kKeyTypeUnsupported;
  return kOk;
}

// The certificate of a key selected by certType and keyType.
int32_t LoadCertificate(const char* szSN, int32_t certType, int32_t keyType, Cert* cert,
                        KeyRecord* recordOut = nullptr) {
  std::string serial;
  if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
  if (int32_t code = CheckTypes(certType, keyType); code != kOk) return code;
  KeyRecord record;
  if (int32_t code = LoadRecord(serial, &record); code != kOk) return code;
  const KeyPair& keys = certType == kCertSign ? record.sign : record.encryption;
  if (keys.certificate.empty()) return kNoCert;
  *cert = ParseCertificateDer(keys.certificate);
  if (!*cert) return kStoreCorrupt;
  if (recordOut != nullptr) *recordOut = std::move(record);
  return kOk;
}

std::string CertificateJson(int32_t certType, const KeyPair& keys) {
  Cert cert = ParseCertificateDer(keys.certificate);
  if (!cert) return {};
  std::optional<int64_t> days = RemainingDays(cert.get());
  return "{\"certType\":" + std::to_string(certType) + ",\"keyType\":" + std::to_string(kKeyTypeSm2) +
         ",\"subject\":" + JsonString(FormatName(X509_get_subject_name(cert.get()))) +
         ",\"issuer\":" + JsonString(FormatName(X509_get_issuer_name(cert.get()))) +
         ",\"serialNumber\":" + JsonString(SerialNumberHex(cert.get())) +
         ",\"notBefore\":" + JsonString(FormatTime(X509_get0_notBefore(cert.get()))) +
         ",\"notAfter\":" + JsonString(FormatTime(X509_get0_notAfter(cert.get()))) +
         ",\"remainingDays\":" + (days ? std::to_string(*days) : "null") +
         ",\"registered\":" + (keys.registered ? "true" : "false") + "}";
}

int32_t SetRegistered(const char* szSN, int32_t certType, int32_t keyType, bool registered) {
  std::string serial;
  if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
  if (int32_t code = CheckTypes(certType, keyType); code != kOk) return code;
  return ModifyRecord(serial, [&](KeyRecord& record) {
    KeyPair& keys = certType == kCertSign ? record.sign : record.encryption;
    if (keys.certificate.empty()) return static_cast<int32_t>(kNoCert);
    keys.registered = registered;
    return static_cast<int32_t>(kOk);
  });
}

}  // namespace
}  // namespace softkey

using namespace softkey;

int32_t GenerateCertRequest(const char* szSN, const char* szRequestInfo, char* out, int32_t* len) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    return GenerateRequest(serial, false, szRequestInfo, out, len);
  });
}

int32_t Batch_InitAndGenerateCertRequest(const char* szSN, int32_t nInitFlag, const char* requestInfo, char* out,
                                         int32_t* len) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (nInitFlag != 0 && nInitFlag != 1) return static_cast<int32_t>(kInvalidArgument);
    return GenerateRequest(serial, nInitFlag == 1, requestInfo, out, len);
  });
}

int32_t ImportX509Cert(const char* szSN, const char* szCert) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (szCert == nullptr) return static_cast<int32_t>(kInvalidArgument);
    Cert cert = ParseCertificate(szCert);
    if (!cert) return static_cast<int32_t>(kCertInvalid);
    return ModifyRecord(serial, [&](KeyRecord& record) { return FileCertificate(record, cert.get()); });
  });
}

int32_t ImportEncX509Cert(const char* szSN, const char* szCert, const char* szPriKey) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (szCert == nullptr || szPriKey == nullptr) return static_cast<int32_t>(kInvalidArgument);
    Cert cert = ParseCertificate(szCert);
    if (!cert) return static_cast<int32_t>(kCertInvalid);
    EVP_PKEY* certKey = X509_get0_pubkey(cert.get());
    if (!IsSm2Key(certKey)) return static_cast<int32_t>(kCertKeyMismatch);
    std::optional<std::string> envelope = Base64Decode(szPriKey);
    if (!envelope || envelope->empty()) return static_cast<int32_t>(kDataInvalid);
    std::string certDer = CertificateDer(cert.get());
    return WithUnlockedKey(serial, PinMode::kCachedOrAsk, "", [&](KeyRecord& record, const std::string& kek,
                                                                 bool* modified) {
      // The encryption key comes sealed for the signing key (or the key of
      // the request that the certificates answer).
      std::optional<std::string> plain;
      bool anyPair = false;
      for (const KeyPair* keys : {&record.sign, &record.pending}) {
        if (!keys->Present()) continue;
        anyPair = true;
        Pkey opener = OpenPrivateKey(kek, serial, *keys);
        if (!opener) return static_cast<int32_t>(kStoreCorrupt);
        plain = Sm2Decrypt(opener.get(), *envelope);
        if (plain) break;
      }
      if (!anyPair) return static_cast<int32_t>(kNoKeyPair);
      if (!plain) return static_cast<int32_t>(kDecryptFailed);
      Pkey key = plain->size() == 32 ? Sm2KeyFromScalar(*plain) : ParsePrivateKeyDer(*plain);
      Wipe(*plain);
      if (!key) return static_cast<int32_t>(kDataInvalid);
      if (!SamePublicKey(key.get(), certKey)) return static_cast<int32_t>(kCertKeyMismatch);
      KeyPair encryption = SealKeyPair(kek, serial, key.get());
      if (!encryption.Present()) return static_cast<int32_t>(kCryptoFailed);
      encryption.certificate = certDer;
      record.encryption = std::move(encryption);
      *modified = true;
      return static_cast<int32_t>(kOk);
    });
  });
}

int32_t Batch_ImportX509Cert(const char* szSN, const char* szCertBatch) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (szCertBatch == nullptr) return static_cast<int32_t>(kInvalidArgument);
    std::vector<Cert> certs = ParseCertificateBatch(szCertBatch);
    if (certs.empty()) return static_cast<int32_t>(kCertInvalid);
    // All or nothing: the record is saved only when every one is filed.
    return ModifyRecord(serial, [&](KeyRecord& record) {
      for (const Cert& cert : certs) {
        if (int32_t code = FileCertificate(record, cert.get()); code != kOk) return code;
      }
      return static_cast<int32_t>(kOk);
    });
  });
}

int32_t DelCertAndTempKey(const char* szSN, int32_t certType, int32_t keyType) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (int32_t code = CheckTypes(certType, keyType); code != kOk) return code;
    return ModifyRecord(serial, [&](KeyRecord& record) {
      if (certType == kCertSign) {
        if (!record.sign.Present() && !record.pending.Present()) return static_cast<int32_t>(kNoCert);
        record.sign = KeyPair{};
        record.pending = KeyPair{};
      } else {
        if (!record.encryption.Present()) return static_cast<int32_t>(kNoCert);
        record.encryption = KeyPair{};
      }
      return static_cast<int32_t>(kOk);
    });
  });
}

int32_t GetCert(const char* szSN, int32_t certType, int32_t keyType, char* out, int32_t* len) {
  return Guarded([&] {
    if (int32_t code = CheckOutput(out, len); code != kOk) return code;
    Cert cert;
    if (int32_t code = LoadCertificate(szSN, certType, keyType, &cert); code != kOk) return code;
    return WriteText(out, len, Base64Encode(CertificateDer(cert.get())));
  });
}

int32_t GetCertDN(const char* szSN, int32_t certType, int32_t keyType, char* out, int32_t* len) {
  return Guarded([&] {
    if (int32_t code = CheckOutput(out, len); code != kOk) return code;
    Cert cert;
    if (int32_t code = LoadCertificate(szSN, certType, keyType, &cert); code != kOk) return code;
    return WriteText(out, len, FormatName(X509_get_subject_name(cert.get())));
  });
}

int32_t GetCertInfo(const char* szSN, int32_t* info, char* out, int32_t* len) {
  return Guarded([&] {
    std::string serial;
    if (int32_t code = TakeSerial(szSN, &serial); code != kOk) return code;
    if (info == nullptr) return static_cast<int32_t>(kInvalidArgument);
    if (int32_t code = CheckOutput(out, len); code != kOk) return code;
    KeyRecord record;
    if (int32_t code = LoadRecord(serial, &record); code != kOk) return code;
    int32_t present = 0;
    std::string list;
    for (auto [certType, keys] : {std::pair{kCertSign, &record.sign}, std::pair{kCertEncryption, &record.encryption}}) {
      if (keys->certificate.empty()) continue;
      std::string json = CertificateJson(certType, *keys);
      if (json.empty()) return static_cast<int32_t>(kStoreCorrupt);
      if (!list.empty()) list += ',';
      list += json;
      present |= certType;
    }
    std::string text = "{\"serial\":" + JsonString(serial) + ",\"certificates\":[" + list +
                       "],\"pendingRequest\":" + (record.pending.Present() ? "true" : "false") + "}";
    int32_t code = WriteText(out, len, text);
    if (code == kOk) *info = present;
    return code;
  });
}

int32_t GetRemainValidityOfCert(const char* szSN, int32_t certType, int32_t keyType) {
  // The value is the answer: whole days, or a failure as its negated code
  // (at most -0x0B000001, further than any certificate can have expired).
  int32_t days = 0;
  int32_t code = Guarded([&] {
    Cert cert;
    if (int32_t failed = LoadCertificate(szSN, certType, keyType, &cert); failed != kOk) return failed;
    std::optional<int64_t> remaining = RemainingDays(cert.get());
    if (!remaining) return static_cast<int32_t>(kStoreCorrupt);
    // Certificates end before the year 9999: far inside the error codes.
    days = static_cast<int32_t>(std::max<int64_t>(std::min<int64_t>(*remaining, 10000000), -10000000));
    return static_cast<int32_t>(kOk);
  });
  return code == kOk ? days : -code;
}

int32_t RegisterCert(const char* szSN, int32_t certType, int32_t keyType) {
  return Guarded([&] { return SetRegistered(szSN, certType, keyType, true); });
}

int32_t UnregisterCert(const char* szSN, int32_t certType, int32_t keyType) {
  return Guarded([&] { return SetRegistered(szSN, certType, keyType, false); });
}
