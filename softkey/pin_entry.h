#pragma once

// Asking the user for a PIN, the way Linux desktops ask for secrets.

#include <cstdint>
#include <string>

namespace softkey {

// Which PIN a prompt asks for; the askpass program sees it in the environment
// variable VASQUILL_SOFTKEY_PROMPT.
enum class PinKind { kCurrent, kNew, kConfirm };

// Asks for a PIN: through the program named by VASQUILL_SOFTKEY_ASKPASS when
// it is set (the prompt text is its one argument, the PIN its standard
// output), otherwise through a zenity password entry when DISPLAY or
// WAYLAND_DISPLAY is set.  The program runs without a shell, in a process
// group of its own, for at most VASQUILL_SOFTKEY_ASKPASS_TIMEOUT seconds
// (default 120), and at most 256 bytes of its output are read.
// kOk with *pin, kPinUnavailable, kPinCancelled or kPinTimeout.
int32_t AskPin(PinKind kind, const std::string& serial, const std::string& prompt, std::string* pin);

}  // namespace softkey
