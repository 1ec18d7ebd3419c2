#include "platform/alert.h"

#include <cstdlib>
#include <iostream>
#include <optional>
#include <vector>

#include "platform/child_process.h"

namespace platform {
namespace {

constexpr char kZenity[] = "zenity";

bool Named(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0';
}

// Runs a zenity dialog; its exit status, or nothing when no dialog could be
// shown (zenity missing, failing, or unable to open the display).
std::optional<int> RunZenity(const std::vector<std::string>& arguments) {
  if (!DisplayPresent() || !ProgramAvailable(kZenity)) return std::nullopt;
  std::vector<std::string> argv{kZenity};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ProgramOptions options;
  options.quietOutput = true;
  options.captureErrorOutput = true;
  ProgramResult result = RunProgram(argv, options);
  // Cancel, closing and a display that cannot be opened all end with 1; only
  // the last one says so.
  bool shown = result.started && result.exited &&
               (result.exitStatus == 0 ||
                (result.exitStatus == 1 && result.errorOutput.find("cannot open display") == std::string::npos));
  if (!shown) {
    // Why the terminal asks instead.
    std::cerr << "zenity: " << (result.started ? result.errorOutput : std::string("cannot be started\n")) << std::flush;
    return std::nullopt;
  }
  return result.exitStatus;
}

// Removes blanks around a line typed at the terminal.
std::string Trimmed(const std::string& line) {
  const char* blanks = " \t\r\n";
  size_t first = line.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  size_t last = line.find_last_not_of(blanks);
  return line.substr(first, last - first + 1);
}

}  // namespace

bool DisplayPresent() { return Named("DISPLAY") || Named("WAYLAND_DISPLAY"); }

Choice RunChoiceWindow(const ChoiceWindow& window) {
  std::optional<int> status = RunZenity({"--question", "--no-markup", "--title=" + window.title,
                                         "--text=" + window.message, "--ok-label=" + window.acceptButton,
                                         "--cancel-label=" + window.cancelButton});
  if (status) return *status == 0 ? Choice::kAccept : Choice::kCancel;
  return RunChoiceInTerminal(window, std::cin, std::cout);
}

void RunAlert(const Alert& alert) {
  const char* kind = alert.style == AlertStyle::kCritical ? "--error" : "--info";
  std::optional<int> status = RunZenity({kind, "--no-markup", "--title=" + alert.title,
                                         "--text=" + alert.messageText, "--ok-label=" + alert.button});
  if (status) return;
  RunAlertInTerminal(alert, std::cin, std::cout);
}

Choice RunChoiceInTerminal(const ChoiceWindow& window, std::istream& in, std::ostream& out) {
  out << window.title << "\n\n" << window.message << "\n\n"
      << "  1) " << window.acceptButton << "\n"
      << "  2) " << window.cancelButton << "\n";
  for (;;) {
    out << "[1/2]: " << std::flush;
    std::string line;
    if (!std::getline(in, line)) {
      out << "\n" << std::flush;
      return Choice::kCancel;
    }
    std::string answer = Trimmed(line);
    if (answer == "1" || answer == window.acceptButton) return Choice::kAccept;
    if (answer == "2" || answer == window.cancelButton) return Choice::kCancel;
  }
}

void RunAlertInTerminal(const Alert& alert, std::istream& in, std::ostream& out) {
  out << "\n" << alert.messageText << "\n\n[" << alert.button << "] " << std::flush;
  std::string line;
  if (!std::getline(in, line)) out << "\n";
  out << std::flush;
}

}  // namespace platform
