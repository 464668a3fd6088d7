// Captures what the aligner's console layer prints while a function under test
// runs, as the bytes that would reach standard output.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "console.h"

struct console_capture {
  char* buffer = nullptr;
  std::size_t size = 0;
  FILE* stream = open_memstream(&buffer, &size);
  console_capture() { set_console(stream); }
  ~console_capture() {
    set_console(nullptr);
    std::fclose(stream);
    std::free(buffer);
  }
  std::string text() {
    std::fflush(stream);
    return std::string(buffer, size);
  }
};

// A message as it leaves a text-mode stream: every LF becomes CR LF.
inline std::string as_printed(const std::string& message) {
  std::string out;
  for (char c : message) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}
