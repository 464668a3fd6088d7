// The aligner's console (track_aligner/console.h) as abchr-prepare gives it:
// its phases speak only when a decoded file fails them, and then on standard
// error like every message of this program, with line feeds alone.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "console.h"
#include "song_record.h"
#include "wav_track.h"

namespace {

void print(const char* format, std::va_list args) {
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  if (length < 0) {
    va_end(again);
    throw std::bad_alloc();
  }
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  text.pop_back();
  std::string line;
  for (const char c : text) {
    if (c != '\r') line += c;
  }
  std::fprintf(stderr, "abchr-prepare: %s", printable(line, true).c_str());
}

}  // namespace

// The aligner's notice for each decoded file at another rate than 44.1 kHz
// names a staging path and comes once per file; abchr-prepare says it once
// per song, naming the song, among its warnings.
constexpr const char* RATE_NOTICE = "%s Using sample rate other than 44.1kHz is not recommended.\r\n";

void say(const char* format, ...) {
  if (std::strcmp(format, RATE_NOTICE) == 0) return;
  std::va_list args;
  va_start(args, format);
  print(format, args);
  va_end(args);
}

void say_error(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  print(format, args);
  va_end(args);
}

void say_system_error(const std::string& path, int error) {
  if (error != 0)
    std::fprintf(stderr, "abchr-prepare: %s: %s\n", printable(path).c_str(), std::strerror(error));
}

int say_cannot_read(const std::string& path, int error) {
  say("Cannot read %s\n", path.c_str());
  say_system_error(path, error);
  return STATUS_CANNOT_OPEN;
}

bool console_flushed() { return std::fflush(stderr) == 0; }
