// Trelmoss: stands in for the companion password-input application, which is
// not part of this installation.  It gives TrelmossService a process to keep
// alive: it does nothing and stays until it is ended.

#include <unistd.h>

int main() {
  for (;;) pause();
}
