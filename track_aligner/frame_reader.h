// Buffered reading of the data chunk: stereo frames of two 32-bit little-endian
// values, left then right, read a block at a time and handed on as numbers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

constexpr int FRAME_BYTES = 8;
constexpr int BLOCK_FRAMES = 8192;  // 64 KiB of sample data per read
// Integer samples are scaled by 2^-31 so that full scale becomes 1.0, as it
// already is for float samples.
constexpr double INT_FULL_SCALE = 1.0 / 2147483648.0;

struct frame_block {
  unsigned char bytes[BLOCK_FRAMES * FRAME_BYTES];
  int frames;  // whole frames the file still held; the rest repeat the last value
  bool error;  // the stream reported an I/O error
};

// The working memory of a pass over a track's frames: a block of frames and
// two arrays of values. The passes (window capture, raw output) run one after
// the other and share one, allocated on first use and kept for the thread, in
// large pages: on a short run, fresh memory touched page by page costs more
// than the filtering. Throws std::bad_alloc when there is no memory.
struct frame_scratch {
  frame_block block;
  double values[2][BLOCK_FRAMES];
};
frame_scratch& pass_scratch();

// Reads `wanted` (at most BLOCK_FRAMES) frames. Frames the file no longer
// holds repeat the last 4-byte value read, as a file shrunk under the reader
// would otherwise leave garbage, and are not counted in `frames`; an I/O error
// sets `error`.
void read_frames(FILE* fp, frame_block& block, int wanted, unsigned char (&last)[4]);

inline uint32_t load_u32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline int32_t load_i32(const unsigned char* p) { return static_cast<int32_t>(load_u32(p)); }
inline float load_f32(const unsigned char* p) {
  const uint32_t bits = load_u32(p);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
