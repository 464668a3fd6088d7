// Synthesises the WAV files the tests need, byte by byte: any format tag,
// channel count, rates, extensible headers, extra chunks of any length with or
// without the RIFF pad byte, data lengths that lie, and files cut anywhere.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "temp_dir.h"  // most tests that make WAV files want a folder for them

using bytes = std::vector<unsigned char>;

inline void put_u16(bytes& b, uint32_t v) {
  b.push_back(static_cast<unsigned char>(v & 0xFF));
  b.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}
inline void put_u32(bytes& b, uint32_t v) {
  put_u16(b, v & 0xFFFF);
  put_u16(b, v >> 16);
}
inline void put_tag(bytes& b, const std::string& tag) {
  for (std::size_t i = 0; i < 4; ++i) b.push_back(i < tag.size() ? static_cast<unsigned char>(tag[i]) : 0);
}

// Sub-format GUIDs of the extensible header.
inline const bytes GUID_PCM = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                               0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
inline const bytes GUID_FLOAT = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct extra_chunk {
  std::string tag;
  uint32_t length;  // what the chunk header says
  bool pad = true;  // a zero byte after an odd body, as RIFF wants
  unsigned char fill = 'x';
  int64_t body = -1;  // bytes actually written; -1: as many as the length says
};

struct wav_layout {
  std::string riff = "RIFF";
  std::string form = "WAVE";
  uint16_t format_tag = 1;
  uint16_t channels = 2;
  uint32_t sample_rate = 44100;
  int64_t byte_rate = -1;  // -1: sample_rate * channels * bits / 8
  uint16_t bits = 32;
  uint32_t fmt_length = 16;    // 16, 18, 40 ... ; the body is padded or cut to it
  bytes subformat = GUID_PCM;  // written at body offset 24 when fmt_length >= 40
  bool fmt_pad = true;         // pad byte after an odd "fmt " body
  std::vector<extra_chunk> before_fmt;
  std::vector<extra_chunk> after_fmt;
  int64_t data_length = -1;  // -1: the size of the sample bytes
};

inline void put_chunk(bytes& b, const extra_chunk& c) {
  put_tag(b, c.tag);
  put_u32(b, c.length);
  const int64_t body = c.body >= 0 ? c.body : c.length;
  b.insert(b.end(), static_cast<std::size_t>(body), c.fill);
  if (body % 2 == 1 && c.pad) b.push_back(0);
}

inline bytes make_wav(const wav_layout& w, const bytes& samples) {
  bytes b;
  put_tag(b, w.riff);
  put_u32(b, 0);  // RIFF size, patched below
  put_tag(b, w.form);
  for (const extra_chunk& c : w.before_fmt) put_chunk(b, c);
  put_tag(b, "fmt ");
  put_u32(b, w.fmt_length);
  bytes body;
  put_u16(body, w.format_tag);
  put_u16(body, w.channels);
  put_u32(body, w.sample_rate);
  const uint32_t byte_rate =
      w.byte_rate >= 0 ? static_cast<uint32_t>(w.byte_rate) : w.sample_rate * w.channels * (w.bits / 8u);
  put_u32(body, byte_rate);
  put_u16(body, w.channels * (w.bits / 8u));
  put_u16(body, w.bits);
  if (w.fmt_length >= 18) put_u16(body, w.fmt_length >= 40 ? 22 : 0);
  if (w.fmt_length >= 40) {
    put_u16(body, w.bits);
    put_u32(body, 3);  // channel mask: front left and right
    body.insert(body.end(), w.subformat.begin(), w.subformat.end());
  }
  body.resize(w.fmt_length, 0);
  b.insert(b.end(), body.begin(), body.end());
  if (w.fmt_length % 2 == 1 && w.fmt_pad) b.push_back(0);
  for (const extra_chunk& c : w.after_fmt) put_chunk(b, c);
  put_tag(b, "data");
  put_u32(b,
          w.data_length >= 0 ? static_cast<uint32_t>(w.data_length) : static_cast<uint32_t>(samples.size()));
  b.insert(b.end(), samples.begin(), samples.end());
  const uint32_t riff_size = static_cast<uint32_t>(b.size() - 8);
  std::memcpy(b.data() + 4, &riff_size, 4);
  return b;
}

// Interleaved 32-bit samples, left then right.
inline bytes int_samples(const std::vector<int32_t>& values) {
  bytes b;
  for (int32_t v : values) put_u32(b, static_cast<uint32_t>(v));
  return b;
}
inline bytes float_samples(const std::vector<float>& values) {
  bytes b;
  for (float v : values) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    put_u32(b, bits);
  }
  return b;
}
// n silent stereo frames.
inline bytes silent_frames(std::size_t n) { return bytes(n * 8, 0); }

inline wav_layout float_layout() {
  wav_layout w;
  w.format_tag = 3;
  return w;
}

inline void write_file(const std::string& path, const bytes& b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}
inline bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
