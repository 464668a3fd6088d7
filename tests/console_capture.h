// Captures what the aligner's console layer prints while a function under test
// runs, as the bytes that would reach standard output.
#pragma once

#include <cstdio>
#include <string>

#include "console.h"
#include "temp_dir.h"

// Through a scratch file opened in binary mode, so that the bytes read back
// are the bytes written on every system.
struct console_capture {
  temp_dir folder;
  FILE* stream = std::fopen(folder.file("console").c_str(), "w+b");
  console_capture() { set_console(stream); }
  console_capture(const console_capture&) = delete;
  console_capture& operator=(const console_capture&) = delete;
  ~console_capture() {
    set_console(nullptr);
    if (stream != nullptr) std::fclose(stream);
  }
  std::string text() {
    std::string out;
    if (stream == nullptr) return out;
    std::fflush(stream);
    std::rewind(stream);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) out.append(buffer, n);
    std::fseek(stream, 0, SEEK_END);
    return out;
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
