// Preloaded into abchr-prepare by the tests of its writing: appends a line
// "MODE PATH" to the file that ABCHR_OPEN_LOG names for every fopen of a WAV
// file, so that a test can count how often each stimulus was written and
// whether one was read back.
// Both names, fopen and fopen64, are caught: without the build's large-file
// setting, which makes fopen an alias of fopen64 in the headers.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void note(const char* path, const char* mode) {
  const char* log = std::getenv("ABCHR_OPEN_LOG");
  const std::size_t length = std::strlen(path);
  if (log == nullptr || length < 4 || std::strcmp(path + length - 4, ".wav") != 0) return;
  const std::string line = std::string(mode) + " " + path + "\n";
  const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  if (write(fd, line.data(), line.size()) < 0) {
    // The test finds the line missing.
  }
  close(fd);
}

using fopen_call = FILE* (*)(const char*, const char*);

}  // namespace

extern "C" FILE* fopen(const char* path, const char* mode) {
  static const auto real = reinterpret_cast<fopen_call>(dlsym(RTLD_NEXT, "fopen"));
  note(path, mode);
  return real(path, mode);
}

extern "C" FILE* fopen64(const char* path, const char* mode) {
  static const auto real = reinterpret_cast<fopen_call>(dlsym(RTLD_NEXT, "fopen64"));
  note(path, mode);
  return real(path, mode);
}
