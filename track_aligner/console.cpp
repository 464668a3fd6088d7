#include "console.h"

#include <cstdarg>
#include <string>

namespace {
FILE* g_console = nullptr;
}

void set_console(FILE* stream) { g_console = stream; }

FILE* console_stream() { return g_console != nullptr ? g_console : stdout; }

void say(const char* format, ...) {
  char small[512];
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return;
  }
  std::string text;
  const char* begin = small;
  if (static_cast<std::size_t>(length) >= sizeof small) {
    text.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<std::size_t>(length));
    begin = text.data();
  }
  va_end(again);

  // Text-mode translation: every LF goes out as CR LF.
  FILE* out = console_stream();
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
}
