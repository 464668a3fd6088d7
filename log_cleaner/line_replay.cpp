#include "line_replay.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "byte_vectors.h"

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

// The well-formed text at the start of [p, end): it ends at a carriage
// return, a line feed, the end, or a byte that does not begin a complete
// well-formed sequence.
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

// Grows the buffers to hold at least `size` bytes. Where the C library grows
// a large block by remapping its pages (glibc does), a long line never needs
// its old and its new copy at once.
void grow(line_replay& line, std::size_t size) {
  const std::size_t capacity = std::max({size, line.capacity + line.capacity / 2, MINIMAL_LINE_CAPACITY});
  char* const text = static_cast<char*>(std::realloc(line.text, capacity));
  if (text == nullptr) throw std::bad_alloc();
  line.text = text;
  if (line.char_size != nullptr) {
    auto* const sizes = static_cast<unsigned char*>(std::realloc(line.char_size, capacity));
    if (sizes == nullptr) throw std::bad_alloc();
    line.char_size = sizes;
  }
  line.capacity = capacity;
}

void ensure_capacity(line_replay& line, std::size_t size) {
  if (line.capacity < size) grow(line, size);
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
  const char* const text = line.text;
  // Looking for the start of character count + 1.
  std::size_t wanted = count + 1;
  while (line.tail_end - at >= 8) {
    const auto starts =
        static_cast<std::size_t>(((char_starts(load_word(text + at)) >> 7) * EVERY_BYTE_ONE) >> 56);
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
  } else if (is_ascii(line.text + at, span)) {
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
// least `needed` bytes. The gap is widened by up to the tail's own length on
// top, and by at least half of it: before the tail has to move again, that
// many bytes must have been written, so longer characters written over
// shorter ones cost time in proportion to the log, not to the log times the
// line. The widening uses the room the buffer has before it grows it.
void widen_gap(line_replay& line, std::size_t needed) {
  const std::size_t tail_size = line.tail_end - line.tail_begin;
  if (line.capacity - line.tail_end < needed + tail_size / 2)
    grow(line, line.tail_end + needed + tail_size / 2);
  const std::size_t shift = needed + std::min(tail_size, line.capacity - line.tail_end - needed);
  std::memmove(line.text + line.tail_begin + shift, line.text + line.tail_begin, tail_size);
  if (line.sizes_recorded) {
    std::memmove(line.char_size + line.tail_begin + shift, line.char_size + line.tail_begin, tail_size);
  }
  line.tail_begin += shift;
  line.tail_end += shift;
}

// Writes bytes at the cursor; the characters they replace are already dropped.
void write_at_cursor(line_replay& line, const char* bytes, std::size_t size) {
  if (line.tail_begin == line.tail_end) {
    ensure_capacity(line, line.front_end + size);
    std::memcpy(line.text + line.front_end, bytes, size);
    line.front_end += size;
    line.tail_begin = line.tail_end = line.front_end;
    return;
  }
  if (line.front_end + size > line.tail_begin) widen_gap(line, line.front_end + size - line.tail_begin);
  std::memcpy(line.text + line.front_end, bytes, size);
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
    if (line.char_size == nullptr) {
      ensure_capacity(line, 1);
      line.char_size = static_cast<unsigned char*>(std::malloc(line.capacity));
      if (line.char_size == nullptr) throw std::bad_alloc();
    }
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
  char* const text = line.text;
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
      if (same == 0 || front_end != tail_begin ||
          sequence_length(static_cast<unsigned char>(tail[0])) != same)
        break;
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
    std::memmove(line.text + line.tail_begin, line.text, line.front_end);
    if (line.sizes_recorded) std::memmove(line.char_size + line.tail_begin, line.char_size, line.front_end);
  } else {
    line.tail_begin = 0;
  }
  line.front_end = 0;
}

void emit_line(line_replay& line, const line_sink& out) {
  out.put_line(out.context, std::string_view(line.text, line.front_end),
               std::string_view(line.text + line.tail_begin, line.tail_end - line.tail_begin));
  line.front_end = line.tail_begin = line.tail_end = 0;
  line.has_multibyte = line.sizes_recorded = false;
}

// Writes [p, end), which holds no carriage return and no line feed, at the
// cursor. With `final` the end is the end of the text (a carriage return or
// line feed follows), and a sequence cut there takes one position per byte;
// otherwise it waits for the next block.
void write_span(line_replay& line, const char* p, const char* end, bool final) {
  while (p < end) {
    if (line.partial_size > 0) {
      p = continue_partial(line, p, end);
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
    const auto byte = static_cast<unsigned char>(*p++);
    if (sequence_length(byte) == 1) {
      write_lone_byte(line, byte);
    } else {
      // A sequence that is ill-formed or goes on after `end`.
      line.partial[0] = byte;
      line.partial_size = 1;
      line.partial_need = sequence_length(byte);
    }
  }
  if (final) write_partial_as_bytes(line);
}

// ---- Redraws seen from the last one back ----
//
// Of a run of redraws (text separated by carriage returns) only the last is
// wholly visible; an earlier one shows only where it reaches further than
// every later one. Going back from the last redraw, most earlier ones are
// passed over after a look at their length, and the line is written only
// with what stays visible.

// The last `byte` in [begin, end), or nullptr.
const char* find_last(const char* begin, const char* end, char byte) {
  if constexpr (std::endian::native == std::endian::little) {
    const byte_vector wanted = byte_vector{} + static_cast<unsigned char>(byte);
    while (end - begin >= 16) {
      const int hit = last_marked(equal_bytes(load_vector(end - 16), wanted));
      if (hit >= 0) return end - 16 + hit;
      end -= 16;
    }
  }
  const std::uint64_t wanted_word = EVERY_BYTE_ONE * static_cast<unsigned char>(byte);
  while (end - begin >= 8 && zero_bytes(load_word(end - 8) ^ wanted_word) == 0) end -= 8;
  while (end != begin) {
    if (*--end == byte) return end;
  }
  return nullptr;
}

// What decoding makes of a byte: bytes of one class begin, continue or end
// characters in the same way. The continuation bytes fall into three classes
// because the second byte after E0, ED, F0 and F4 must lie in a narrower
// range; the bytes that never begin a sequence of more than one byte
// (ASCII, C0, C1, F5 to FF) form one class.
constexpr std::array<unsigned char, 256> BYTE_CLASSES = [] {
  std::array<unsigned char, 256> classes{};
  for (unsigned byte = 0x80; byte < 0x90; ++byte) classes[byte] = 1;
  for (unsigned byte = 0x90; byte < 0xA0; ++byte) classes[byte] = 2;
  for (unsigned byte = 0xA0; byte < 0xC0; ++byte) classes[byte] = 3;
  for (unsigned byte = 0xC2; byte < 0xE0; ++byte) classes[byte] = 4;
  classes[0xE0] = 5;
  for (unsigned byte = 0xE1; byte < 0xF0; ++byte) classes[byte] = 6;
  classes[0xED] = 7;
  classes[0xF0] = 8;
  for (unsigned byte = 0xF1; byte < 0xF4; ++byte) classes[byte] = 9;
  classes[0xF4] = 10;
  return classes;
}();

bool is_continuation_class(unsigned char byte_class) { return byte_class >= 1 && byte_class <= 3; }

// Whether byte `at` of a and of b has the same part in decoding, given that
// every other byte has. Continuation bytes differ in part only right after a
// lead (the same in both) of narrower second-byte range.
bool same_part(const char* a, const char* b, std::size_t at) {
  const unsigned char class_a = BYTE_CLASSES[static_cast<unsigned char>(a[at])];
  const unsigned char class_b = BYTE_CLASSES[static_cast<unsigned char>(b[at])];
  if (class_a == class_b) return true;
  if (!is_continuation_class(class_a) || !is_continuation_class(class_b)) return false;
  if (at == 0) return true;
  const auto before = static_cast<unsigned char>(a[at - 1]);
  return before != 0xE0 && before != 0xED && before != 0xF0 && before != 0xF4;
}

// Whether the bytes [from, to) of a and b have the same parts in decoding.
// Differences between ASCII bytes, such as the figures of a percentage, are
// passed over without a look.
bool same_parts(const char* a, const char* b, std::size_t from, std::size_t to) {
  for (std::size_t at = from; at < to; ++at) {
    if (a[at] != b[at] && ((a[at] | b[at]) & 0x80) != 0 && !same_part(a, b, at)) return false;
  }
  return true;
}

// Marks the high bit of every byte of `word` that is not zero (exact per
// byte: no carries between bytes).
std::uint64_t nonzero_bytes(std::uint64_t word) {
  const std::uint64_t low = 0x7F7F7F7F7F7F7F7Fu;
  return (((word & low) + low) | word) & EVERY_BYTE_HIGH;
}

// Whether a and b, of `size` bytes each, decode into the same number of
// positions, because every byte in which they differ has the same part in
// decoding. A progress redraw mostly repeats the one after it: where the two
// are equal, or differ only in ASCII bytes (the figures of a percentage),
// nothing is decoded.
bool same_shape(const char* a, const char* b, std::size_t size) {
  std::size_t at = 0;
  for (; at + 16 <= size; at += 16) {
    const byte_vector bytes_a = load_vector(a + at);
    const byte_vector bytes_b = load_vector(b + at);
    if (any_high_bit(~equal_bytes(bytes_a, bytes_b) & (bytes_a | bytes_b)) && !same_parts(a, b, at, at + 16))
      return false;
  }
  for (; at + 8 <= size; at += 8) {
    const std::uint64_t word_a = load_word(a + at);
    const std::uint64_t word_b = load_word(b + at);
    if ((nonzero_bytes(word_a ^ word_b) & (word_a | word_b)) != 0 && !same_parts(a, b, at, at + 8))
      return false;
  }
  return same_parts(a, b, at, size);
}

// Where position `count` of the text [p, end) begins, or end if it has no
// more positions; a sequence cut by `end` takes one position per byte.
const char* skip_positions(const char* p, const char* end, std::size_t count) {
  while (count > 0 && p < end) {
    const char* const ascii_end = find_special(p, p + std::min(count, static_cast<std::size_t>(end - p)));
    count -= static_cast<std::size_t>(ascii_end - p);
    p = ascii_end;
    if (count == 0 || p == end) break;
    const std::size_t size = well_formed_size(p, end);
    p += size == 0 ? 1 : size;
    --count;
  }
  return p;
}

// The number of positions of the text [p, end), cut as in skip_positions.
std::size_t count_positions(const char* p, const char* end) {
  std::size_t count = 0;
  while (p < end) {
    const char* const ascii_end = find_special(p, end);
    count += static_cast<std::size_t>(ascii_end - p);
    p = ascii_end;
    if (p == end) break;
    const std::size_t size = well_formed_size(p, end);
    p += size == 0 ? 1 : size;
    ++count;
  }
  return count;
}

// The length of a sequence at the end of [begin, end) that is well-formed so
// far but not complete: bytes that the next block may complete.
std::size_t unfinished_sequence(const char* begin, const char* end) {
  for (std::size_t back = 1; back <= 3 && back <= static_cast<std::size_t>(end - begin); ++back) {
    const auto lead = static_cast<unsigned char>(end[-static_cast<std::ptrdiff_t>(back)]);
    if ((lead & 0xC0) == 0x80) continue;
    if (sequence_length(lead) <= back) return 0;
    for (std::size_t i = 1; i < back; ++i) {
      if (!continues(lead, i, static_cast<unsigned char>(end[static_cast<std::ptrdiff_t>(i - back)])))
        return 0;
    }
    return back;
  }
  return 0;
}

// Replays [first_return, end): carriage returns and the redraws after them,
// no line feed. With `final` the end is the end of the line.
void replay_redraws(line_replay& line, const char* first_return, const char* end, bool final) {
  const char* const last_return = find_last(first_return, end, CARRIAGE_RETURN);
  const char* const last_begin = last_return + 1;
  const std::size_t unfinished = final ? 0 : unfinished_sequence(last_begin, end);
  const char* const last_end = end - unfinished;

  return_carriage(line);
  write_span(line, last_begin, last_end, true);
  std::size_t reach = count_positions(last_begin, last_end);
  // The latest redraw whose length in positions is known.
  const char* known = last_begin;
  std::size_t known_size = static_cast<std::size_t>(last_end - last_begin);
  bool filled = false;
  for (const char* redraw_end = last_return; redraw_end != first_return;) {
    // Most redraws have the length of a later one, and its shape: that is
    // tried before the carriage return is looked for. Bytes of that length
    // after a carriage return hold redraws that show nothing, whether or not
    // more carriage returns stand among them: if they are no more than
    // `reach`, each redraw among them is shorter; if they decode (carriage
    // returns as one position each) into as many positions as a redraw
    // already counted, no redraw among them has more than `reach` positions.
    if (static_cast<std::size_t>(redraw_end - first_return) > known_size) {
      const char* const guess = redraw_end - known_size;
      if (guess[-1] == CARRIAGE_RETURN && (known_size <= reach || same_shape(guess, known, known_size))) {
        // Compared with its neighbour, the next redraw differs least.
        known = guess;
        redraw_end = guess - 1;
        continue;
      }
    }
    const char* const redraw_return = find_last(first_return, redraw_end, CARRIAGE_RETURN);
    const char* const redraw = redraw_return + 1;
    const auto size = static_cast<std::size_t>(redraw_end - redraw);
    if (size > reach) {
      const std::size_t positions = count_positions(redraw, redraw_end);
      if (positions > reach) {
        write_span(line, skip_positions(redraw, redraw_end, reach), redraw_end, true);
        reach = positions;
        filled = true;
      }
      known = redraw;
      known_size = size;
    }
    redraw_end = redraw_return;
  }
  if (filled) {
    // The cursor stands after the last redraw.
    return_carriage(line);
    write_span(line, last_begin, last_end, true);
  }
  for (std::size_t i = 0; i < unfinished; ++i) line.partial[i] = static_cast<unsigned char>(last_end[i]);
  line.partial_size = unfinished;
  line.partial_need = unfinished == 0 ? 0 : sequence_length(line.partial[0]);
}

}  // namespace

line_replay::~line_replay() {
  std::free(text);
  std::free(char_size);
}

void replay_block(line_replay& line, std::string_view input, const line_sink& out) {
  const char* p = input.data();
  const char* const end = p + input.size();
  while (p < end) {
    const auto* const line_feed =
        static_cast<const char*>(std::memchr(p, LINE_FEED, static_cast<std::size_t>(end - p)));
    const char* const piece_end = line_feed == nullptr ? end : line_feed;
    const bool final = line_feed != nullptr;
    const auto* const first_return =
        static_cast<const char*>(std::memchr(p, CARRIAGE_RETURN, static_cast<std::size_t>(piece_end - p)));
    if (first_return == nullptr) {
      write_span(line, p, piece_end, final);
    } else {
      write_span(line, p, first_return, true);
      replay_redraws(line, first_return, piece_end, final);
    }
    if (!final) break;
    emit_line(line, out);
    p = line_feed + 1;
  }
}

void replay_end(line_replay& line, const line_sink& out) {
  write_partial_as_bytes(line);
  emit_line(line, out);
}
