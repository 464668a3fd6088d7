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

struct text_span {
  const char* end;
  std::size_t chars;
};

// The well-formed text at the start of [p, end): it ends at a carriage
// return, a line feed, the end, or a byte that does not begin a complete
// well-formed sequence.
// Length of the character at p: 1 for an ASCII byte other than CR and LF,
// 2 to 4 for a complete well-formed sequence, 0 for anything else.
std::size_t well_formed_size(const char* p, const char* end) {
  const auto lead = static_cast<unsigned char>(*p);
  if (lead < 0x80) return lead == LINE_FEED || lead == CARRIAGE_RETURN ? 0 : 1;
  const std::size_t size = sequence_length(lead);
  if (size == 1 || static_cast<std::size_t>(end - p) < size) return 0;
  for (std::size_t i = 1; i < size; ++i) {
    if (!continues(lead, i, static_cast<unsigned char>(p[i]))) return 0;
  }
  return size;
}

text_span scan_text(const char* p, const char* end) {
  std::size_t chars = 0;
  for (;;) {
    const char* const ascii_end = find_special(p, end);
    chars += static_cast<std::size_t>(ascii_end - p);
    p = ascii_end;
    if (p == end || static_cast<unsigned char>(*p) < 0x80) break;
    const std::size_t size = well_formed_size(p, end);
    if (size == 0) break;
    p += size;
    ++chars;
  }
  return {p, chars};
}

void grow(line_replay& line, std::size_t size) {
  const std::size_t capacity = std::max({size, 2 * line.text.size(), MINIMAL_LINE_CAPACITY});
  line.text.resize(capacity);
  line.char_size.resize(capacity);
}

void ensure_capacity(line_replay& line, std::size_t size) {
  if (line.text.size() < size) grow(line, size);
}

std::size_t char_size_at(const line_replay& line, std::size_t at) {
  const auto byte = static_cast<unsigned char>(line.text[at]);
  return byte < 0x80 ? 1 : line.char_size[at];
}

// Marks the high bit of every byte of `word` that begins a character, that
// is every byte outside 80..BF (exact per byte: no carries between bytes).
std::uint64_t char_starts(std::uint64_t word) {
  const std::uint64_t continuation = (word & 0xC0C0C0C0C0C0C0C0u) ^ EVERY_BYTE_HIGH;  // zero where 10xxxxxx
  const std::uint64_t low = 0x7F7F7F7F7F7F7F7Fu;
  return (((continuation & low) + low) | continuation) & EVERY_BYTE_HIGH;
}

// Where the tail goes on after `count` characters of well-formed text.
std::size_t skip_well_formed(const line_replay& line, std::size_t at, std::size_t count) {
  const char* const text = line.text.data();
  // Looking for the start of character count + 1.
  std::size_t wanted = count + 1;
  while (line.tail_end - at >= 8) {
    const auto starts = static_cast<std::size_t>(((char_starts(load_word(text + at)) >> 7) * EVERY_BYTE_ONE) >> 56);
    if (starts >= wanted) break;
    wanted -= starts;
    at += 8;
  }
  for (; at < line.tail_end; ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && --wanted == 0) return at;
  }
  return line.tail_end;
}

// Drops up to `count` characters from the start of the tail: the cursor is
// about to write over them.
void drop_overwritten(line_replay& line, std::size_t count) {
  std::size_t at = line.tail_begin;
  const std::size_t span = std::min(count, line.tail_end - at);
  if (!line.has_multibyte && !line.sizes_recorded) {
    line.tail_begin = at + span;
  } else if (!line.sizes_recorded) {
    line.tail_begin = skip_well_formed(line, at, count);
  } else if (is_ascii(line.text.data() + at, span)) {
    line.tail_begin = at + span;
  } else {
    for (; count > 0 && at < line.tail_end; --count) at += char_size_at(line, at);
    line.tail_begin = at;
  }
}

// Records the length of each character that begins with a byte of 0x80 or
// more in text[from, to), which holds well-formed UTF-8.
void record_sizes(line_replay& line, std::size_t from, std::size_t to) {
  for (std::size_t at = from; at < to; ++at) {
    const auto byte = static_cast<unsigned char>(line.text[at]);
    if (byte >= 0xC0) line.char_size[at] = static_cast<unsigned char>(sequence_length(byte));
  }
}

// Moves the tail towards the end of the buffer so that the gap grows by at
// least `needed` bytes. The gap is widened by the tail's own length on top:
// before the tail has to move again, at least that many bytes must have been
// written, so longer characters written over shorter ones cost time in
// proportion to the log, not to the log times the line.
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

// Writes well-formed text of `count` characters at the cursor.
void write_text(line_replay& line, const char* bytes, std::size_t size, std::size_t count) {
  drop_overwritten(line, count);
  write_at_cursor(line, bytes, size);
  if (count == size) return;
  line.has_multibyte = true;
  if (line.sizes_recorded) record_sizes(line, line.front_end - size, line.front_end);
}

// Writes one byte of 0x80 or more that is not part of a well-formed
// sequence; it takes a position of its own. From here on the line records
// where its characters begin, since the bytes alone no longer tell.
void write_lone_byte(line_replay& line, unsigned char byte) {
  if (!line.sizes_recorded) {
    record_sizes(line, 0, line.front_end);
    record_sizes(line, line.tail_begin, line.tail_end);
    line.sizes_recorded = true;
  }
  drop_overwritten(line, 1);
  write_at_cursor(line, reinterpret_cast<const char*>(&byte), 1);
  line.char_size[line.front_end - 1] = 1;
}

// Length of the common start of a and b, up to `limit` bytes.
std::size_t common_length(const char* a, const char* b, std::size_t limit) {
  std::size_t same = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; same + 8 <= limit; same += 8) {
      const std::uint64_t difference = load_word(a + same) ^ load_word(b + same);
      if (difference != 0) return same + static_cast<std::size_t>(std::countr_zero(difference)) / 8;
    }
  }
  while (same < limit && a[same] == b[same]) ++same;
  return same;
}

// A redrawn progress line mostly repeats the text it overwrites. While the
// line is well-formed, a stretch of new bytes equal to the tail's bytes and
// ending where a character of the tail ends holds the same characters, so
// it overwrites them without being decoded; a differing character goes in
// place when its length in bytes is that of the one it replaces. Stops at
// the end of the tail, a carriage return, a line feed, a byte that is not
// well-formed text, or a change of length. Returns where reading goes on.
const char* overwrite_repeated_text(line_replay& line, const char* p, const char* end) {
  // The cursor and the tail start are kept in locals: stored and reloaded
  // through `line` on every step they stall the loop.
  char* const text = line.text.data();
  std::size_t front_end = line.front_end;
  std::size_t tail_begin = line.tail_begin;
  const std::size_t tail_end = line.tail_end;
  while (p < end && tail_begin != tail_end) {
    const char* const tail = text + tail_begin;
    const std::size_t tail_size = tail_end - tail_begin;
    std::size_t same = common_length(p, tail, std::min(tail_size, static_cast<std::size_t>(end - p)));
    while (same > 0 && same < tail_size && (static_cast<unsigned char>(tail[same]) & 0xC0) == 0x80) --same;
    const bool differs = same == 0;
    if (differs) {
      // One character over another of the same length goes in place; any
      // other change of length is left to the general writer.
      same = well_formed_size(p, end);
      if (same == 0 || front_end != tail_begin || sequence_length(static_cast<unsigned char>(tail[0])) != same) break;
    }
    if (differs || front_end != tail_begin) std::memcpy(text + front_end, p, same);
    front_end += same;
    tail_begin += same;
    p += same;
  }
  line.front_end = front_end;
  line.tail_begin = tail_begin;
  return p;
}

// An unfinished sequence that cannot be completed: each of its bytes takes a
// position of its own.
void write_partial_as_bytes(line_replay& line) {
  for (std::size_t i = 0; i < line.partial_size; ++i) write_lone_byte(line, line.partial[i]);
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
    write_text(line, reinterpret_cast<const char*>(line.partial), line.partial_size, 1);
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
  line.has_multibyte = line.sizes_recorded = false;
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
    const auto byte = static_cast<unsigned char>(*p);
    if (byte == LINE_FEED || byte == CARRIAGE_RETURN) {
      ++p;
      if (byte == LINE_FEED) {
        emit_line(line, lines);
      } else {
        return_carriage(line);
      }
      continue;
    }
    if (line.has_multibyte && !line.sizes_recorded && line.tail_begin != line.tail_end) {
      const char* const rest = overwrite_repeated_text(line, p, end);
      if (rest != p) {
        p = rest;
        continue;
      }
    }
    const text_span text = scan_text(p, end);
    if (text.end != p) {
      write_text(line, p, static_cast<std::size_t>(text.end - p), text.chars);
      p = text.end;
      continue;
    }
    ++p;
    if (sequence_length(byte) == 1) {
      write_lone_byte(line, byte);
    } else {
      // A sequence that is ill-formed or goes on in the next block.
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
