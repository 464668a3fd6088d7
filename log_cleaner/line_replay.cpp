#include "line_replay.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

constexpr unsigned char LINE_FEED = 10;
constexpr unsigned char CARRIAGE_RETURN = 13;
constexpr std::size_t MINIMAL_LINE_CAPACITY = 256;

constexpr std::uint64_t EVERY_BYTE_ONE = 0x0101010101010101u;
constexpr std::uint64_t EVERY_BYTE_HIGH = 0x8080808080808080u;

std::uint64_t load_word(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Marks the high bit of every byte of `word` that is zero; the lowest marked
// byte is always a true zero (borrows only reach higher bytes).
std::uint64_t zero_bytes(std::uint64_t word) { return (word - EVERY_BYTE_ONE) & ~word & EVERY_BYTE_HIGH; }

bool is_special(unsigned char byte) { return byte == LINE_FEED || byte == CARRIAGE_RETURN || byte >= 0x80; }

// The first carriage return, line feed or non-ASCII byte in [p, end), or end.
// Eight bytes are looked at per step: a log is mostly plain ASCII text.
const char* find_special(const char* p, const char* end) {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      const std::uint64_t word = load_word(p);
      const std::uint64_t hits = zero_bytes(word ^ (EVERY_BYTE_ONE * LINE_FEED)) |
                                 zero_bytes(word ^ (EVERY_BYTE_ONE * CARRIAGE_RETURN)) |
                                 (word & EVERY_BYTE_HIGH);
      if (hits != 0) return p + std::countr_zero(hits) / 8;
      p += 8;
    }
  }
  while (p < end && !is_special(static_cast<unsigned char>(*p))) ++p;
  return p;
}

bool is_ascii(const char* p, std::size_t size) {
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) high |= load_word(p + i);
  for (; i < size; ++i) high |= static_cast<unsigned char>(p[i]);
  return (high & EVERY_BYTE_HIGH) == 0;
}

// Length of the well-formed UTF-8 sequence that `lead` may begin, or 1 when
// it begins none (ASCII, continuation bytes, the overlong leads C0 and C1,
// and F5 to FF, which would lie above U+10FFFF).
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0xC2) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 1;
}

// Whether `byte` may follow at `index` (1 to 3) in a sequence led by `lead`.
// The narrower second-byte ranges exclude overlong forms (E0, F0), UTF-16
// surrogates (ED) and code points above U+10FFFF (F4).
bool continues(unsigned char lead, std::size_t index, unsigned char byte) {
  if (index == 1) {
    if (lead == 0xE0) return byte >= 0xA0 && byte <= 0xBF;
    if (lead == 0xED) return byte >= 0x80 && byte <= 0x9F;
    if (lead == 0xF0) return byte >= 0x90 && byte <= 0xBF;
    if (lead == 0xF4) return byte >= 0x80 && byte <= 0x8F;
  }
  return byte >= 0x80 && byte <= 0xBF;
}

void ensure_capacity(line_replay& line, std::size_t size) {
  if (line.text.size() >= size) return;
  const std::size_t capacity = std::max({size, 2 * line.text.size(), MINIMAL_LINE_CAPACITY});
  line.text.resize(capacity);
  line.char_size.resize(capacity);
}

std::size_t char_size_at(const line_replay& line, std::size_t at) {
  const auto byte = static_cast<unsigned char>(line.text[at]);
  return byte < 0x80 ? 1 : line.char_size[at];
}

// Drops up to `count` characters from the start of the tail: the cursor is
// about to write over them.
void drop_overwritten(line_replay& line, std::size_t count) {
  std::size_t at = line.tail_begin;
  const std::size_t span = std::min(count, line.tail_end - at);
  if (is_ascii(line.text.data() + at, span)) {
    line.tail_begin = at + span;
    return;
  }
  for (; count > 0 && at < line.tail_end; --count) at += char_size_at(line, at);
  line.tail_begin = at;
}

// Moves the tail towards the end of the buffer so that the gap grows by at
// least `needed` bytes. The tail is moved by its own length on top, so a
// string of longer characters written over shorter ones moves a long line
// only a logarithmic number of times.
void widen_gap(line_replay& line, std::size_t needed) {
  const std::size_t tail_size = line.tail_end - line.tail_begin;
  const std::size_t shift = needed + tail_size;
  ensure_capacity(line, line.tail_end + shift);
  std::memmove(line.text.data() + line.tail_begin + shift, line.text.data() + line.tail_begin, tail_size);
  std::memmove(line.char_size.data() + line.tail_begin + shift, line.char_size.data() + line.tail_begin,
               tail_size);
  line.tail_begin += shift;
  line.tail_end += shift;
}

// Writes bytes at the cursor; the characters they replace are already dropped.
void write_at_cursor(line_replay& line, const char* bytes, std::size_t size) {
  if (line.tail_begin == line.tail_end) {
    ensure_capacity(line, line.front_end + size);
    std::memcpy(line.text.data() + line.front_end, bytes, size);
    line.front_end += size;
    line.tail_begin = line.tail_end = line.front_end;
    return;
  }
  if (line.front_end + size > line.tail_begin) widen_gap(line, line.front_end + size - line.tail_begin);
  std::memcpy(line.text.data() + line.front_end, bytes, size);
  line.front_end += size;
}

void write_ascii_run(line_replay& line, const char* bytes, std::size_t size) {
  drop_overwritten(line, size);
  write_at_cursor(line, bytes, size);
}

// Writes one character that begins with a byte of 0x80 or more.
void write_wide_char(line_replay& line, const unsigned char* bytes, std::size_t size) {
  drop_overwritten(line, 1);
  write_at_cursor(line, reinterpret_cast<const char*>(bytes), size);
  line.char_size[line.front_end - size] = static_cast<unsigned char>(size);
}

// An unfinished sequence that cannot be completed: each of its bytes takes a
// position of its own.
void write_partial_as_bytes(line_replay& line) {
  for (std::size_t i = 0; i < line.partial_size; ++i) write_wide_char(line, &line.partial[i], 1);
  line.partial_size = 0;
}

// Adds bytes to the unfinished sequence until it is complete, proves
// ill-formed or the block ends. Returns where reading goes on; a byte that
// does not fit is left to be looked at afresh.
const char* continue_partial(line_replay& line, const char* p, const char* end) {
  while (p < end && line.partial_size < line.partial_need) {
    const auto byte = static_cast<unsigned char>(*p);
    if (!continues(line.partial[0], line.partial_size, byte)) {
      write_partial_as_bytes(line);
      return p;
    }
    line.partial[line.partial_size++] = byte;
    ++p;
  }
  if (line.partial_size == line.partial_need) {
    write_wide_char(line, line.partial, line.partial_size);
    line.partial_size = 0;
  }
  return p;
}

// A carriage return: the cursor goes back to the start of the line, and the
// whole line becomes the tail. Only a front separated from the tail by a gap
// is moved, and it holds no more than was written since the last return.
void return_carriage(line_replay& line) {
  if (line.tail_begin == line.tail_end) {
    line.tail_end = line.front_end;
    line.tail_begin = 0;
  } else if (line.front_end != line.tail_begin) {
    line.tail_begin -= line.front_end;
    std::memmove(line.text.data() + line.tail_begin, line.text.data(), line.front_end);
    std::memmove(line.char_size.data() + line.tail_begin, line.char_size.data(), line.front_end);
  } else {
    line.tail_begin = 0;
  }
  line.front_end = 0;
}

void emit_line(line_replay& line, std::string& lines) {
  lines.append(line.text.data(), line.front_end);
  lines.append(line.text.data() + line.tail_begin, line.tail_end - line.tail_begin);
  lines.push_back('\n');
  line.front_end = line.tail_begin = line.tail_end = 0;
}

}  // namespace

void replay_block(line_replay& line, std::string_view input, std::string& lines) {
  const char* p = input.data();
  const char* const end = p + input.size();
  while (p < end) {
    if (line.partial_size > 0) {
      p = continue_partial(line, p, end);
      continue;
    }
    const char* const run_end = find_special(p, end);
    if (run_end != p) {
      write_ascii_run(line, p, static_cast<std::size_t>(run_end - p));
      p = run_end;
      continue;
    }
    const auto byte = static_cast<unsigned char>(*p++);
    if (byte == LINE_FEED) {
      emit_line(line, lines);
    } else if (byte == CARRIAGE_RETURN) {
      return_carriage(line);
    } else if (sequence_length(byte) == 1) {
      write_wide_char(line, &byte, 1);
    } else {
      line.partial[0] = byte;
      line.partial_size = 1;
      line.partial_need = sequence_length(byte);
    }
  }
}

void replay_end(line_replay& line, std::string& lines) {
  write_partial_as_bytes(line);
  emit_line(line, lines);
}

std::string replay_log(std::string_view log) {
  line_replay line;
  std::string lines;
  replay_block(line, log, lines);
  replay_end(line, lines);
  return lines;
}
