#pragma once

#include <string>

// The uninstaller's window: uninstall or cancel.
class ViewController {
 public:
  // Shows the window and runs the chosen action; closing the window cancels.
  [[noreturn]] void ShowWindow();

  // Runs the bundle's script unistall.sh with administrator rights, reports
  // the outcome in an alert and ends the process with status 0.
  [[noreturn]] void Uninstall();

  // Ends the process with status 0.
  [[noreturn]] void Cancel();
};

// The argument the script is given: "/" for a real installation, else the
// install root.
std::string UninstallRoot();
