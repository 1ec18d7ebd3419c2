#pragma once

// Key insertion and removal: a store appearing or disappearing.

#include <cstdint>
#include <string>

namespace softkey {

inline constexpr int32_t kEventInserted = 1;
inline constexpr int32_t kEventRemoved = 2;

// Blocks until a key is inserted or removed, compared with the keys present
// when the first wait began and the events reported since; kOk with the event
// and the key's serial, or kDetectionStopped when StopWaits ended the wait.
int32_t WaitForEvent(int32_t* event, std::string* serial);

// Ends every wait pending now.
void StopWaits();

}  // namespace softkey
