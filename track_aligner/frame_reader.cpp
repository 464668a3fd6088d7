#include "frame_reader.h"

#include <cstring>

void read_frames(FILE* fp, frame_block& block, int wanted, unsigned char (&last)[4]) {
  const std::size_t want_bytes = static_cast<std::size_t>(wanted) * FRAME_BYTES;
  const std::size_t got = std::fread(block.bytes, 1, want_bytes, fp);
  block.error = std::ferror(fp) != 0;
  if (got >= 4) std::memcpy(last, block.bytes + (got - got % 4) - 4, 4);
  for (std::size_t i = got - got % 4; i < want_bytes; i += 4) std::memcpy(block.bytes + i, last, 4);
  block.frames = static_cast<int>(got / FRAME_BYTES);
}
