#include "console.h"

#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>

#include "platform.h"
#include "wav_track.h"

namespace {

// Formats and writes one message. Returns false when memory ran out: the one
// reason the C library has to fail on these messages, which hold no wide
// characters and are far shorter than INT_MAX bytes.
bool print(FILE* out, const char* format, std::va_list args) {
  char small[512];
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(small, sizeof small, format, args);
  std::unique_ptr<char[]> large;
  const char* begin = small;
  if (length >= 0 && static_cast<std::size_t>(length) >= sizeof small) {
    large.reset(new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
    if (large != nullptr) std::vsnprintf(large.get(), static_cast<std::size_t>(length) + 1, format, again);
    begin = large.get();
  }
  va_end(again);
  if (length < 0 || begin == nullptr) return false;

  // Text-mode translation: every LF goes out as CR LF.
  const char* end = begin + length;
  const char* run = begin;
  for (const char* p = begin; p != end; ++p) {
    if (*p == '\n') {
      std::fwrite(run, 1, static_cast<std::size_t>(p - run), out);
      std::fwrite("\r\n", 1, 2, out);
      run = p + 1;
    }
  }
  std::fwrite(run, 1, static_cast<std::size_t>(end - run), out);
  return true;
}

}  // namespace

void say(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const bool printed = print(stdout, format, args);
  va_end(args);
  if (!printed) throw std::bad_alloc();
}

void say_error(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const bool printed = print(stderr, format, args);
  va_end(args);
  if (!printed) throw std::bad_alloc();
}

bool console_flushed() {
  const bool flushed = std::fflush(stdout) == 0;
  return flushed && std::ferror(stdout) == 0;
}

void say_system_error(const std::string& path, int error) {
  if (error == 0) return;
  std::fprintf(stderr, "wavmatch2: %s: %s\r\r\n", path.c_str(), std::strerror(error));
}

int say_cannot_read(const std::string& path, int error) {
  say("Cannot read %s\r\n", path.c_str());
  say_system_error(path, error);
  return STATUS_CANNOT_OPEN;
}
