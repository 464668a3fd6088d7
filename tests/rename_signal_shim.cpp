// Preloaded into abchr-prepare by the test-folder tests: just before the
// first rename whose destination ends with the name that
// ABCHR_SIGNAL_AT_RENAME gives, raises SIGINT, or what ABCHR_RENAME_FAULT
// names: "KILL" (SIGKILL, which nothing can catch) or "EIO" (that rename
// fails with EIO). The fault lands while the test folder's shared files are
// being put in place, at the same point on every run however fast the machine.
#include <dlfcn.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

extern "C" int rename(const char* from, const char* to) {
  using rename_call = int (*)(const char*, const char*);
  static const auto real = reinterpret_cast<rename_call>(dlsym(RTLD_NEXT, "rename"));
  static bool raised = false;
  const char* at = std::getenv("ABCHR_SIGNAL_AT_RENAME");
  if (!raised && at != nullptr && std::strlen(to) >= std::strlen(at) &&
      std::strcmp(to + std::strlen(to) - std::strlen(at), at) == 0) {
    raised = true;
    const char* fault = std::getenv("ABCHR_RENAME_FAULT");
    const std::string_view kind = fault != nullptr ? fault : "INT";
    if (kind == "EIO") {
      errno = EIO;
      return -1;
    }
    std::raise(kind == "KILL" ? SIGKILL : SIGINT);
  }
  return real(from, to);
}
