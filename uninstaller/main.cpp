// TarvenUninstallServer: removes the installation after the user asks for it
// in its window, with administrator rights, and shows how it went.

#include "uninstaller/view_controller.h"

int main() {
  ViewController controller;
  controller.ShowWindow();
}
