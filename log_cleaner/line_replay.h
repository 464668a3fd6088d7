// Replays a captured console log the way a terminal draws it: a carriage
// return moves the cursor back to the start of the line, later characters
// overwrite what stands there, a line feed ends the line. The line ends up as
// the longest stretch ever written, with its final contents.
//
// Positions on the line are characters: a well-formed UTF-8 sequence (one code
// point) takes one position, and so does every byte that is not part of one.
// Overwriting a position replaces the whole character that stood there.
//
// The replay works on blocks of bytes in memory and knows nothing of files,
// so a log may be fed in pieces of any size; a UTF-8 sequence split between
// two blocks is put together again.
#pragma once

#include <cstddef>
#include <string_view>

// The line being replayed, kept as a gap buffer so that overwriting a
// character with one of another byte length does not move the rest of a long
// line each time:
//   line = text[0, front_end) followed by text[tail_begin, tail_end)
// The front holds what was written since the last carriage return (the write
// cursor stands at its end); the tail holds what is left of the line beyond
// the cursor. In the usual redraw of equal-length text the gap stays empty
// and characters are overwritten in place.
//
// The buffers grow by half their size when full and are never filled ahead,
// so the memory a line takes stays within about one and a half times the
// longest text it ever held.
struct line_replay {
  char* text = nullptr;
  // Where characters begin needs no record while the line is well-formed
  // UTF-8: every byte outside 80..BF begins one. Once a byte of 0x80 or more
  // stands alone (ill-formed input), the line keeps, at the first byte of each
  // character that begins with such a byte, the character's length in bytes
  // (1 to 4). Same layout as `text`; allocated only for such lines.
  unsigned char* char_size = nullptr;
  std::size_t capacity = 0;     // of text, and of char_size when it is allocated
  bool has_multibyte = false;   // some character of 2 to 4 bytes was written
  bool sizes_recorded = false;  // char_size is kept (a lone byte was written)
  std::size_t front_end = 0;
  std::size_t tail_begin = 0;
  std::size_t tail_end = 0;
  // A UTF-8 sequence begun but not yet complete (at most three bytes).
  unsigned char partial[4] = {};
  std::size_t partial_size = 0;
  std::size_t partial_need = 0;

  line_replay() = default;
  line_replay(const line_replay&) = delete;
  line_replay& operator=(const line_replay&) = delete;
  ~line_replay();
};

// Where finished lines go: each line as its text in two pieces (either may
// be empty), which never hold a line feed; the line feed is the sink's to add.
struct line_sink {
  void (*put_line)(void* context, std::string_view first, std::string_view second);
  void* context;
};

// Replays `input`; every line it completes goes to `out`. Throws
// std::bad_alloc when the line outgrows the memory available.
void replay_block(line_replay& line, std::string_view input, const line_sink& out);

// Ends the input: the pending line, empty or not, goes to `out`, and `line` is
// ready for a new log.
void replay_end(line_replay& line, const line_sink& out);
