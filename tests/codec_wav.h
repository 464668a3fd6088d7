// Reading back the WAV files that decoders write, and bringing 16-bit ones
// losslessly to 32-bit integer WAV, the form wavmatch2 takes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "wav_writer.h"

// The sample bytes and the fields of "fmt " of a RIFF WAVE file.
struct wav_contents {
  bool ok = false;
  uint16_t format_tag = 0;
  uint16_t channels = 0;
  uint16_t bits = 0;
  bytes subformat;  // the extensible header's GUID, if any
  bytes samples;
};

inline uint32_t get_u32(const bytes& b, std::size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
inline uint16_t get_u16(const bytes& b, std::size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

inline wav_contents read_wav(const std::string& path) {
  const bytes b = read_file(path);
  wav_contents w;
  if (b.size() < 12 || std::string(b.begin(), b.begin() + 4) != "RIFF") return w;
  bool have_fmt = false;
  for (std::size_t at = 12; at + 8 <= b.size();) {
    const std::string tag(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at) + 4);
    const std::size_t length = get_u32(b, at + 4);
    const std::size_t body = at + 8;
    const std::size_t available =
        std::min(length, b.size() - body);  // a decoder may leave a length unpatched
    if (tag == "fmt " && available >= 16) {
      w.format_tag = get_u16(b, body);
      w.channels = get_u16(b, body + 2);
      w.bits = get_u16(b, body + 14);
      if (available >= 40)
        w.subformat.assign(b.begin() + static_cast<long>(body) + 24,
                           b.begin() + static_cast<long>(body) + 40);
      have_fmt = true;
    } else if (tag == "data") {
      w.samples.assign(b.begin() + static_cast<long>(body), b.begin() + static_cast<long>(body + available));
      w.ok = have_fmt;
      return w;
    }
    at = body + length + (length % 2);
  }
  return w;
}

// A 16-bit stereo WAV as a 32-bit integer one: each value shifted left by 16.
// Returns "" or what is wrong with the input.
inline std::string widen_16_to_32(const std::string& from, const std::string& to) {
  const wav_contents w = read_wav(from);
  if (!w.ok || w.format_tag != 1 || w.bits != 16 || w.channels != 2)
    return from + " is not a 16-bit stereo WAV file";
  std::vector<int32_t> wide(w.samples.size() / 2);
  for (std::size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<int32_t>(static_cast<int16_t>(get_u16(w.samples, 2 * i))) * 65536;
  }
  write_file(to, make_wav(wav_layout{}, int_samples(wide)));
  return "";
}
