// Captures what the aligner prints on standard output while a function under
// test runs, as the bytes that would reach the reader: the process's standard
// output is pointed at a temporary file for the capture's lifetime.
#pragma once

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <stdexcept>
#include <string>

#include "line_ends.h"

struct console_capture {
  FILE* file = std::tmpfile();
  int saved = -1;
  console_capture() {
    std::fflush(stdout);
    saved = dup(1);
    if (file == nullptr || saved < 0 || dup2(fileno(file), 1) < 0) {
      throw std::runtime_error("cannot capture standard output");
    }
#ifdef _WIN32
    // The program writes its own line ends; the capture must not add a CR.
    _setmode(1, _O_BINARY);
#endif
  }
  ~console_capture() {
    release();
    std::fclose(file);
  }
  // Ends the capture and gives what was printed.
  std::string text() {
    release();
    std::string out;
    std::rewind(file);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) out.append(buffer, n);
    return out;
  }

 private:
  void release() {
    if (saved < 0) return;
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    saved = -1;
  }
};
