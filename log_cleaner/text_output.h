// Text-mode output: every line feed leaves the program as carriage return
// plus line feed, the line end that DOS and Windows consoles and editors
// expect of a log. Writes go out in blocks of a fixed size, however long a
// line is; the first failing write is remembered and everything after it is
// dropped.
#pragma once

#include <string>
#include <string_view>

#include "platform.h"

struct text_output {
  file_descriptor file = NO_FILE;
  std::string pending;  // translated bytes not yet written
  bool failed = false;
  int error = 0;  // errno of the first failed write
};

// Appends `text`, each line feed written as CR LF.
void put_text(text_output& out, std::string_view text);

// Writes everything pending; false once any write has failed.
bool flush_text(text_output& out);
