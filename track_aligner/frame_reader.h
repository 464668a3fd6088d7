// Buffered reading of the data chunk: stereo frames of two 32-bit little-endian
// values, left then right, read a block at a time and handed on as numbers.
#pragma once

#include <cstdint>
#include <cstdio>

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

// Reads up to `wanted` (at most BLOCK_FRAMES) frames. Frames the file no longer
// holds repeat the last 4-byte value read, as a file shrunk under the reader
// would otherwise leave garbage, and are not counted in `frames`; an I/O error
// sets `error`.
void read_frames(FILE* fp, frame_block& block, int wanted, unsigned char (&last)[4]);
