#include "softkey/pin.h"

#include <map>
#include <mutex>

#include "softkey/crypto.h"
#include "softkey/errors.h"
#include "softkey/pin_entry.h"
#include "softkey/text.h"

namespace softkey {
namespace {

// Cached PINs, as the derived key of the PIN with the salt it was derived
// with; never the PIN itself.
struct CachedPin {
  std::string salt;
  std::string derived;
};

std::mutex g_cacheMutex;
std::map<std::string, CachedPin> g_cache;

bool CacheGet(const std::string& serial, CachedPin* cached) {
  std::lock_guard<std::mutex> lock(g_cacheMutex);
  auto it = g_cache.find(serial);
  if (it == g_cache.end()) return false;
  *cached = it->second;
  return true;
}

void CachePut(const std::string& serial, const std::string& salt, const std::string& derived) {
  std::lock_guard<std::mutex> lock(g_cacheMutex);
  CachedPin& entry = g_cache[serial];
  Wipe(entry.derived);
  entry.salt = salt;
  entry.derived = derived;
}

bool IsChinese(const std::string& language) { return language.rfind("zh", 0) == 0; }

std::string Prompt(PinKind kind, const KeyRecord& record, const std::string& note) {
  bool chinese = IsChinese(record.language);
  std::string text;
  if (!note.empty()) text = note + "\n\n";
  std::string name = record.serial;
  if (!record.label.empty() && record.label != record.serial) name += " (" + record.label + ")";
  switch (kind) {
    case PinKind::kCurrent:
      text += chinese ? "请输入软件UKey " + name + " 的PIN码" : "PIN of the soft key " + name;
      break;
    case PinKind::kNew:
      text += chinese ? "请输入软件UKey " + name + " 的新PIN码（6到16个字符）"
                      : "New PIN of the soft key " + name + " (6 to 16 characters)";
      break;
    case PinKind::kConfirm:
      text += chinese ? "请再次输入软件UKey " + name + " 的新PIN码" : "New PIN of the soft key " + name + ", again";
      break;
  }
  return text;
}

// A note for the prompt: control characters become spaces, at most 512 bytes
// cut at a character boundary.
std::string CleanNote(const std::string& note) {
  std::string clean;
  for (unsigned char c : note) clean += (c < 0x20 || c == 0x7F) ? ' ' : char(c);
  if (clean.size() > 512) {
    size_t cut = 512;
    while (cut > 0 && (static_cast<unsigned char>(clean[cut]) & 0xC0) == 0x80) --cut;
    clean.resize(cut);
  }
  return clean;
}

bool IsValidNewPin(const std::string& pin) {
  if (pin.size() < 6 || pin.size() > 16) return false;
  for (unsigned char c : pin) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

std::string SealContext(const std::string& serial, const KeyPair& keys) {
  return "vasquill-softkey|" + serial + "|" + keys.publicKey;
}

PinState NewPinState(std::string_view pin, std::string* kek, std::string* derived) {
  PinState state;
  state.iterations = kPinIterations;
  state.salt = RandomBytes(16);
  std::string key = DerivePinKey(pin, state.salt, state.iterations);
  state.verifier = PinVerifier(key);
  state.triesLeft = kMaxPinTries;
  state.isDefault = pin == kDefaultPin;
  if (kek != nullptr) *kek = KeyEncryptionKey(key);
  if (derived != nullptr) {
    *derived = key;
  }
  Wipe(key);
  return state;
}

int32_t WithUnlockedKey(const std::string& serial, PinMode mode, const std::string& promptNote,
                        const UnlockedAction& action) {
  // A PIN state that changes under us (another thread resets the key or
  // changes its PIN) sends us round again, a few times at most.
  for (int round = 0; round < 3; ++round) {
    CachedPin used;
    bool asked = false;
    if (mode == PinMode::kAlwaysAsk || round > 0 || !CacheGet(serial, &used)) {
      KeyRecord before;
      if (int32_t code = LoadRecord(serial, &before); code != kOk) return code;
      if (before.pin.triesLeft <= 0) return kPinLocked;
      std::string pin;
      if (int32_t code = AskPin(PinKind::kCurrent, serial, Prompt(PinKind::kCurrent, before, CleanNote(promptNote)),
                                &pin);
          code != kOk) {
        return code;
      }
      used.salt = before.pin.salt;
      used.derived = DerivePinKey(pin, before.pin.salt, before.pin.iterations);
      Wipe(pin);
      asked = true;
    }

    WriteLock lock;
    if (int32_t code = lock.Acquire(); code != kOk) return code;
    KeyRecord record;
    if (int32_t code = LoadRecord(serial, &record); code != kOk) return code;
    if (record.pin.salt != used.salt) {
      ForgetPin(serial);
      Wipe(used.derived);
      continue;
    }
    if (record.pin.triesLeft <= 0) {
      ForgetPin(serial);
      return kPinLocked;
    }
    if (!SameSecret(PinVerifier(used.derived), record.pin.verifier)) {
      ForgetPin(serial);
      Wipe(used.derived);
      if (!asked) continue;  // a stale cache entry: ask
      --record.pin.triesLeft;
      if (int32_t code = SaveRecord(record); code != kOk) return code;
      return record.pin.triesLeft == 0 ? kPinLocked : kPinIncorrect;
    }
    if (asked && record.pin.triesLeft != kMaxPinTries) {
      record.pin.triesLeft = kMaxPinTries;
      if (int32_t code = SaveRecord(record); code != kOk) return code;
    }
    if (asked) CachePut(serial, used.salt, used.derived);
    std::string kek = KeyEncryptionKey(used.derived);
    Wipe(used.derived);
    bool modified = false;
    int32_t code = action(record, kek, &modified);
    Wipe(kek);
    if (code == kOk && modified) code = SaveRecord(record);
    return code;
  }
  return kKeyChanged;
}

int32_t ChangeKeyPin(const std::string& serial) {
  std::string oldKek;
  std::string oldSalt;
  KeyRecord shown;
  int32_t code = WithUnlockedKey(serial, PinMode::kAlwaysAsk, "", [&](KeyRecord& record, const std::string& kek, bool*) {
    oldKek = kek;
    oldSalt = record.pin.salt;
    shown = record;
    return kOk;
  });
  if (code != kOk) return code;

  std::string newPin;
  std::string again;
  code = AskPin(PinKind::kNew, serial, Prompt(PinKind::kNew, shown, ""), &newPin);
  if (code == kOk) code = AskPin(PinKind::kConfirm, serial, Prompt(PinKind::kConfirm, shown, ""), &again);
  if (code == kOk && newPin != again) code = kPinMismatch;
  if (code == kOk && !IsValidNewPin(newPin)) code = kPinInvalid;
  Wipe(again);
  if (code != kOk) {
    Wipe(newPin);
    Wipe(oldKek);
    return code;
  }
  std::string newKek;
  std::string newDerived;
  PinState state = NewPinState(newPin, &newKek, &newDerived);
  Wipe(newPin);

  WriteLock lock;
  code = lock.Acquire();
  KeyRecord record;
  if (code == kOk) code = LoadRecord(serial, &record);
  if (code == kOk && record.pin.salt != oldSalt) code = kKeyChanged;
  // Every private key moves to the new key-encryption key.
  for (KeyPair* keys : {&record.sign, &record.pending, &record.encryption}) {
    if (code != kOk || !keys->Present()) continue;
    std::string context = SealContext(serial, *keys);
    std::optional<std::string> plain = Unseal(oldKek, keys->sealedPrivateKey, context);
    if (!plain) {
      code = kStoreCorrupt;
      break;
    }
    keys->sealedPrivateKey = Seal(newKek, *plain, context);
    Wipe(*plain);
  }
  if (code == kOk) {
    record.pin = state;
    code = SaveRecord(record);
  }
  if (code == kOk) CachePut(serial, state.salt, newDerived);
  Wipe(oldKek);
  Wipe(newKek);
  Wipe(newDerived);
  return code;
}

void ForgetPin(const std::string& serial) {
  std::lock_guard<std::mutex> lock(g_cacheMutex);
  auto it = g_cache.find(serial);
  if (it == g_cache.end()) return;
  Wipe(it->second.derived);
  g_cache.erase(it);
}

void ForgetAllPins() {
  std::lock_guard<std::mutex> lock(g_cacheMutex);
  for (auto& [serial, entry] : g_cache) Wipe(entry.derived);
  g_cache.clear();
}

bool PinCached(const std::string& serial, const std::string& salt) {
  std::lock_guard<std::mutex> lock(g_cacheMutex);
  auto it = g_cache.find(serial);
  return it != g_cache.end() && it->second.salt == salt;
}

}  // namespace softkey
