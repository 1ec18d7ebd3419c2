// A host without a main queue: loads the probe library given as argument and
// asks it to reach the main queue.  Exit status 0 when the probe refused
// without running the closure, 1 when the closure ran, 2 when the probe
// answered true, 3 when the library could not be used.
#include <dlfcn.h>

#include <cstdio>

namespace {

void MarkRan(void* context) { *static_cast<bool*>(context) = true; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 3;
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 3;
  }
  using Probe = int (*)(void (*)(void*), void*);
  auto probe = reinterpret_cast<Probe>(dlsym(library, "probe_dispatch"));
  if (probe == nullptr) return 3;
  bool ran = false;
  int answer = probe(&MarkRan, &ran);
  if (ran) return 1;
  return answer == 0 ? 0 : 2;
}
