// A library for LD_PRELOAD that makes a race happen at one exact moment of a
// program, with no timing: the moment is a call the program makes.
//
//   RACE_LINK_AT_OPEN=name:target      just before the program opens `name`
//                                      for writing, `name` becomes a symbolic
//                                      link to `target` (once)
//   RACE_SIGNAL_AFTER_OPEN=name:number just after the program opens `name` for
//                                      writing, it is sent signal `number` (once)
//   RACE_SIGNALS_AT_TRUNCATE=a:b       after the program's first ftruncate it
//                                      is sent signal a; after an ftruncate made
//                                      while a is held back (in its handler),
//                                      signal b
//
// It calls the system directly, never the symbols it replaces, and allocates
// nothing.

// Both names of each call are defined below: neither may stand for the other.
#undef _FILE_OFFSET_BITS

#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool link_planted = false;
bool signal_sent = false;
bool first_truncate_done = false;

// The setting `variable` as "name:number" or "name:target"; false when unset
// or when `name` is not `path`.
bool names(const char* variable, const char* path, const char*& rest) {
  const char* setting = getenv(variable);
  if (setting == nullptr) return false;
  const char* colon = strchr(setting, ':');
  if (colon == nullptr) return false;
  rest = colon + 1;
  return path != nullptr && static_cast<size_t>(colon - setting) == strlen(path) &&
         strncmp(setting, path, static_cast<size_t>(colon - setting)) == 0;
}

int opened(int dirfd, const char* path, int flags, mode_t mode) {
  const bool writing = (flags & (O_WRONLY | O_RDWR)) != 0;
  const char* rest = nullptr;
  if (writing && !link_planted && names("RACE_LINK_AT_OPEN", path, rest)) {
    link_planted = true;
    unlink(path);
    if (symlink(rest, path) != 0) _exit(125);
  }
  const int fd = static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
  if (writing && fd >= 0 && !signal_sent && names("RACE_SIGNAL_AFTER_OPEN", path, rest)) {
    signal_sent = true;
    raise(atoi(rest));
  }
  return fd;
}

mode_t mode_of(int flags, va_list arguments) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

int truncated(int fd, off_t length) {
  const int result = static_cast<int>(syscall(SYS_ftruncate, fd, length));
  const char* setting = getenv("RACE_SIGNALS_AT_TRUNCATE");
  const char* colon = setting != nullptr ? strchr(setting, ':') : nullptr;
  if (colon == nullptr) return result;
  const int first = atoi(setting);
  sigset_t held;
  sigprocmask(SIG_BLOCK, nullptr, &held);
  if (sigismember(&held, first) == 1) {
    raise(atoi(colon + 1));
  } else if (!first_truncate_done) {
    first_truncate_done = true;
    raise(first);
  }
  return result;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  return opened(AT_FDCWD, path, flags, mode);
}
int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  return opened(AT_FDCWD, path, flags, mode);
}
int openat(int dirfd, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  return opened(dirfd, path, flags, mode);
}
int openat64(int dirfd, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  return opened(dirfd, path, flags, mode);
}
int ftruncate(int fd, off_t length) { return truncated(fd, length); }
int ftruncate64(int fd, off64_t length) { return truncated(fd, length); }
}
