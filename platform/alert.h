#pragma once

#include <iosfwd>
#include <string>

namespace platform {

// Windows and alerts are zenity dialogs when the session has a display; with
// none (or when no dialog can be shown there) the same choices are offered on
// the terminal, on standard input and output.  Texts are shown as they are,
// never read as markup.

// A window with a message and two buttons.
struct ChoiceWindow {
  std::string title;
  std::string message;
  std::string acceptButton;  // the action, e.g. "uninstall"
  std::string cancelButton;  // closing the window counts as this one
};

enum class Choice { kAccept, kCancel };

enum class AlertStyle { kInformational, kCritical };

// An alert with one button.
struct Alert {
  std::string title;
  std::string messageText;
  std::string button;
  AlertStyle style = AlertStyle::kInformational;
};

// Whether the session names a display (X11 or Wayland).
bool DisplayPresent();

// Shows the window and waits for a choice.
Choice RunChoiceWindow(const ChoiceWindow& window);

// Shows the alert and waits until its button is pressed.
void RunAlert(const Alert& alert);

// The terminal forms.  End of input chooses cancel, and closes an alert.
Choice RunChoiceInTerminal(const ChoiceWindow& window, std::istream& in, std::ostream& out);
void RunAlertInTerminal(const Alert& alert, std::istream& in, std::ostream& out);

}  // namespace platform
