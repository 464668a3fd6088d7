// Text output: every line feed leaves the program as the system's line end
// (LINE_END: CR LF on Windows, LF elsewhere). Writes go out in blocks of a
// fixed size, however long a line is, unless the output asks for each line or
// each read as it comes; the first failing write is remembered and everything
// after it is dropped.
#pragma once

#include <string>
#include <string_view>

#include "platform.h"

// When the cleaned text goes out.
enum text_flush {
  FLUSH_BY_BLOCK,  // in large blocks: a regular file read as fast as the disk gives it
  FLUSH_BY_READ,   // after each read: an input that arrives bit by bit, as an encoder writes it
  FLUSH_BY_LINE,   // after each line: a person watches the terminal
};

struct text_output {
  file_descriptor file = NO_FILE;
  std::string pending;  // translated bytes not yet written
  bool failed = false;
  int error = 0;  // errno of the first failed write
  text_flush flush = FLUSH_BY_BLOCK;
};

// Appends `text`, each line feed written as LINE_END.
void put_text(text_output& out, std::string_view text);

// Appends a message of the program, whose lines end in "\r\n": each pair
// leaves as LF on POSIX systems and as CR CR LF on Windows (MESSAGE_KEEPS_CR).
void put_message(text_output& out, std::string_view message);

// Writes everything pending; false once any write has failed.
bool flush_text(text_output& out);
