#include "sha256.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fstream>

#include "utf8_paths.h"

namespace {

// The first 32 bits of the fractional parts of the cube roots of the first 64
// primes.
constexpr std::array<uint32_t, 64> ROUND_CONSTANTS = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The state of a digest in progress: the hash, the bytes of a block not yet
// full, and the count of bytes taken so far.
struct sha256_state {
  std::array<uint32_t, 8> hash = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<unsigned char, 64> block{};
  std::size_t filled = 0;
  uint64_t length = 0;
};

uint32_t rotate_right(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(sha256_state& s) {
  std::array<uint32_t, 64> w{};
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t(s.block[4 * i]) << 24 | uint32_t(s.block[4 * i + 1]) << 16 |
           uint32_t(s.block[4 * i + 2]) << 8 | uint32_t(s.block[4 * i + 3]);
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::array<uint32_t, 8> v = s.hash;
  for (int i = 0; i < 64; ++i) {
    const uint32_t e = v[4], a = v[0];
    const uint32_t t1 = v[7] + (rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25)) +
                        ((e & v[5]) ^ (~e & v[6])) + ROUND_CONSTANTS[i] + w[i];
    const uint32_t t2 = (rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22)) +
                        ((a & v[1]) ^ (a & v[2]) ^ (v[1] & v[2]));
    v = {t1 + t2, a, v[1], v[2], v[3] + t1, e, v[5], v[6]};
  }
  for (int i = 0; i < 8; ++i) s.hash[i] += v[i];
}

void take(sha256_state& s, const unsigned char* bytes, std::size_t size) {
  s.length += size;
  for (std::size_t i = 0; i < size; ++i) {
    s.block[s.filled++] = bytes[i];
    if (s.filled == 64) {
      compress(s);
      s.filled = 0;
    }
  }
}

// The padding: a one bit, zeros up to 56 bytes of the last block, then the
// message's length in bits, big-endian.
std::string finish(sha256_state& s) {
  const uint64_t bits = s.length * 8;
  const unsigned char one = 0x80, zero = 0;
  take(s, &one, 1);
  while (s.filled != 56) take(s, &zero, 1);
  for (int i = 7; i >= 0; --i) {
    const auto byte = static_cast<unsigned char>(bits >> (8 * i));
    take(s, &byte, 1);
  }
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string hex;
  for (uint32_t word : s.hash)
    for (int shift = 28; shift >= 0; shift -= 4) hex += DIGITS[(word >> shift) & 15];
  return hex;
}

}  // namespace

std::string sha256_hex(const void* data, std::size_t size) {
  sha256_state s;
  take(s, static_cast<const unsigned char*>(data), size);
  return finish(s);
}

bool sha256_file_hex(const std::string& path, std::string& hex, int& error) {
  errno = 0;
  std::ifstream file(path_of(path), std::ios::binary);
  if (!file) {
    error = errno != 0 ? errno : ENOENT;
    return false;
  }
  sha256_state s;
  std::array<char, 65536> buffer;
  while (file.read(buffer.data(), buffer.size()) || file.gcount() > 0)
    take(s, reinterpret_cast<const unsigned char*>(buffer.data()), static_cast<std::size_t>(file.gcount()));
  if (file.bad()) {
    error = EIO;
    return false;
  }
  hex = finish(s);
  return true;
}
