// Values as RIFF files store them: little-endian, whatever the processor's own
// byte order, and read byte by byte, so that no address needs any alignment.
#pragma once

#include <cstdint>
#include <cstring>

inline uint16_t load_u16(const unsigned char* p) {
  return static_cast<uint16_t>(static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8);
}
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
