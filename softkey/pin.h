#pragma once

// PIN checks, the tries counter and the PIN cache.

#include <cstdint>
#include <functional>
#include <string>

#include "softkey/store.h"

namespace softkey {

// An operation on an unlocked key: it runs holding the store's WriteLock,
// gets the record as stored and the key-encryption key, and sets *modified
// when the record is to be saved (only when it returns kOk).
using UnlockedAction = std::function<int32_t(KeyRecord& record, const std::string& kek, bool* modified)>;

enum class PinMode {
  kCachedOrAsk,  // a cached PIN serves; otherwise the user is asked
  kAlwaysAsk,    // the user is asked even when a PIN is cached
};

// Unlocks key serial and runs action.  A PIN entered here is checked against
// the store's verifier: a wrong one costs a try (the key locks when none is
// left), a right one restores the tries and is cached until RemovePinCache.
// promptNote, when not empty, is shown with the prompt (a text the page asks
// the user to confirm).
int32_t WithUnlockedKey(const std::string& serial, PinMode mode, const std::string& promptNote,
                        const UnlockedAction& action);

// Asks for the current PIN and twice for a new one, and changes the PIN.
int32_t ChangeKeyPin(const std::string& serial);

// A fresh PIN state for pin (salt, verifier, all tries) and, in *kek, the
// key-encryption key it gives.
PinState NewPinState(std::string_view pin, std::string* kek, std::string* derived);

// The associated data that binds a sealed private key to its key and pair.
std::string SealContext(const std::string& serial, const KeyPair& keys);

// Forgets cached PINs: of one key, or all.
void ForgetPin(const std::string& serial);
void ForgetAllPins();
bool PinCached(const std::string& serial, const std::string& salt);

}  // namespace softkey
