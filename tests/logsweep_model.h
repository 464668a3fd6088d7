// A plain model of what logsweep makes of a log, sharing no code with it: the
// line is a list of characters (a well-formed UTF-8 sequence or a lone byte),
// a carriage return moves the cursor to the first, a line feed ends the line.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "line_ends.h"

// Length of the well-formed UTF-8 sequence at s[at], or 0 if there is none.
// Decodes the code point and checks it, rather than checking byte ranges.
inline std::size_t well_formed_length(const std::string& s, std::size_t at) {
  const auto lead = static_cast<unsigned char>(s[at]);
  std::size_t size = 0;
  std::uint32_t code = 0;
  if (lead >= 0xC0 && lead < 0xE0) size = 2, code = lead & 0x1Fu;
  if (lead >= 0xE0 && lead < 0xF0) size = 3, code = lead & 0x0Fu;
  if (lead >= 0xF0 && lead < 0xF8) size = 4, code = lead & 0x07u;
  if (size == 0 || at + size > s.size()) return 0;
  for (std::size_t i = 1; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(s[at + i]);
    if ((byte & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte & 0x3Fu);
  }
  const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < smallest[size] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return size;
}

inline std::string model_replay(const std::string& log) {
  std::string lines;
  std::vector<std::string> line;
  std::size_t cursor = 0;
  const auto emit = [&] {
    for (const std::string& c : line) lines += c;
    lines += '\n';
    line.clear();
    cursor = 0;
  };
  for (std::size_t at = 0; at < log.size();) {
    if (log[at] == '\n') {
      emit();
      ++at;
    } else if (log[at] == '\r') {
      cursor = 0;
      ++at;
    } else {
      const std::size_t size = std::max<std::size_t>(1, well_formed_length(log, at));
      if (cursor == line.size()) line.emplace_back();
      line[cursor++] = log.substr(at, size);
      at += size;
    }
  }
  emit();
  return lines;
}

// The bytes the program writes for `log`: every line ended by TEXT_END.
inline std::string model_output(const std::string& log) { return as_written(model_replay(log)); }
