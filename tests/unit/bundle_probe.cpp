// Prints what the platform layer makes of the running executable: the main
// bundle on the first line, the executable on the second.
#include <cstdio>

#include "platform/bundle.h"

int main() {
  std::printf("%s\n%s\n", platform::MainBundlePath().c_str(), platform::ExecutablePath().c_str());
  return 0;
}
