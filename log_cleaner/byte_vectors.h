// Sixteen bytes looked at in one step, written once with GCC's vector types:
// the compiler makes SSE2 instructions of them on x86-64, NEON ones on
// aarch64, and word operations where a processor has neither. Both families
// have 16-byte vectors in their baseline, so no run-time choice is needed.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

using byte_vector = unsigned char __attribute__((vector_size(16)));

// A vector result as its two 8-byte halves; on a little-endian processor the
// low half holds bytes 0 to 7.
struct vector_halves {
  std::uint64_t low;
  std::uint64_t high;
};

inline byte_vector load_vector(const char* p) {
  byte_vector bytes;
  std::memcpy(&bytes, p, sizeof bytes);
  return bytes;
}

inline vector_halves halves(byte_vector bytes) {
  vector_halves split;
  std::memcpy(&split, &bytes, sizeof split);
  return split;
}

// 0xFF in every byte where a and b are equal, 0 elsewhere.
inline byte_vector equal_bytes(byte_vector a, byte_vector b) { return (byte_vector)(a == b); }

// The index (0 to 15) of the last byte of `marks` that is not zero, or -1.
// Little-endian byte order only.
inline int last_marked(byte_vector marks) {
  const vector_halves split = halves(marks);
  if (split.high != 0) return 8 + (63 - std::countl_zero(split.high)) / 8;
  if (split.low != 0) return (63 - std::countl_zero(split.low)) / 8;
  return -1;
}

// Whether some byte of `bytes` has its high bit set.
inline bool any_high_bit(byte_vector bytes) {
  const vector_halves split = halves(bytes);
  return ((split.low | split.high) & 0x8080808080808080u) != 0;
}
