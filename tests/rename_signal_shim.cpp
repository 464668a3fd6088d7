// Preloaded into abchr-prepare by the test-folder tests: raises SIGINT just
// before the first rename whose destination ends with the name that
// ABCHR_SIGNAL_AT_RENAME gives, so that the signal lands while the test
// folder's shared files are being put in place, at the same point on every
// run however fast the machine.
#include <dlfcn.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

extern "C" int rename(const char* from, const char* to) {
  using rename_call = int (*)(const char*, const char*);
  static const auto real = reinterpret_cast<rename_call>(dlsym(RTLD_NEXT, "rename"));
  static bool raised = false;
  const char* at = std::getenv("ABCHR_SIGNAL_AT_RENAME");
  if (!raised && at != nullptr && std::strlen(to) >= std::strlen(at) &&
      std::strcmp(to + std::strlen(to) - std::strlen(at), at) == 0) {
    raised = true;
    std::raise(SIGINT);
  }
  return real(from, to);
}
