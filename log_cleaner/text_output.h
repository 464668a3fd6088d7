// Text-mode output: every line feed leaves the program as carriage return
// plus line feed, the line end that DOS and Windows consoles and editors
// expect of a log. Writes go out in large blocks; the first failing write is
// remembered and everything after it is dropped.
#pragma once

#include <string>
#include <string_view>

struct text_output {
  int fd = -1;
  std::string pending;  // translated bytes not yet written
  bool failed = false;
};

// Appends `text`, each line feed written as CR LF.
void put_text(text_output& out, std::string_view text);

// Writes everything pending; false once any write has failed.
bool flush_text(text_output& out);

// Flushes, then closes the descriptor; false if a write or the close failed.
bool close_text(text_output& out);
