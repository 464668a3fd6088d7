// The pass over a whole log: read it in blocks, replay its carriage returns,
// write the cleaned lines as text.
#pragma once

#include "platform.h"
#include "text_output.h"

enum filter_status {
  FILTER_DONE = 0,
  FILTER_READ_FAILED = 1,    // an I/O error before the end of the input
  FILTER_WRITE_FAILED = 2,   // a write or flush of the output failed
  FILTER_OUT_OF_MEMORY = 3,  // a line outgrew the memory available
};

// Reads `input` to its end and writes the replayed lines to `out`, then
// flushes `out`. After a read error (its errno in `read_error`) the pending
// line is still written; when memory runs out, the lines finished before are.
// Memory grows only with the longest line, never with the size of the log.
// The lines go out as `out.flush` asks: by block, after each read, or each
// line as it is finished.
filter_status filter_log(file_descriptor input, text_output& out, int& read_error);
