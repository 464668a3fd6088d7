#include "sha256.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fstream>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

uint32_t rotate_right(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(uint32_t* hash, const unsigned char* block) {
  std::array<uint32_t, 64> w{};
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 | uint32_t(block[4 * i + 2]) << 8 |
           uint32_t(block[4 * i + 3]);
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::array<uint32_t, 8> v = {hash[0], hash[1], hash[2], hash[3], hash[4], hash[5], hash[6], hash[7]};
  for (int i = 0; i < 64; ++i) {
    const uint32_t e = v[4], a = v[0];
    const uint32_t t1 = v[7] + (rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25)) +
                        ((e & v[5]) ^ (~e & v[6])) + ROUND_CONSTANTS[i] + w[i];
    const uint32_t t2 = (rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22)) +
                        ((a & v[1]) ^ (a & v[2]) ^ (v[1] & v[2]));
    v = {t1 + t2, a, v[1], v[2], v[3] + t1, e, v[5], v[6]};
  }
  for (int i = 0; i < 8; ++i) hash[i] += v[i];
}

void compress_portable(uint32_t* hash, const unsigned char* blocks, std::size_t count) {
  for (std::size_t b = 0; b < count; ++b) compress(hash, blocks + 64 * b);
}

bool always() { return true; }

#if defined(__x86_64__)
// The SHA extensions keep the eight words as two registers, ABEF and CDGH;
// each sha256rnds2 makes two rounds, and sha256msg1/msg2 extend the message
// schedule four words at a time.
__attribute__((target("sha,sse4.1,ssse3"))) void compress_sha_extensions(uint32_t* hash,
                                                                         const unsigned char* blocks,
                                                                         std::size_t count) {
  const __m128i big_endian = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hash)), 0xB1);
  __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hash + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (std::size_t b = 0; b < count; ++b) {
    const unsigned char* block = blocks + 64 * b;
    const __m128i abef_before = abef, cdgh_before = cdgh;
    __m128i w[4];
    for (int i = 0; i < 4; ++i)
      w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)), big_endian);
    for (int r = 0; r < 16; ++r) {
      // w[r % 4] holds words 4r to 4r + 3 of the schedule.
      const __m128i wk = _mm_add_epi32(
          w[r & 3], _mm_loadu_si128(reinterpret_cast<const __m128i*>(ROUND_CONSTANTS.data() + 4 * r)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
      if (r < 12) {
        const __m128i next = _mm_add_epi32(_mm_sha256msg1_epu32(w[r & 3], w[(r + 1) & 3]),
                                           _mm_alignr_epi8(w[(r + 3) & 3], w[(r + 2) & 3], 4));
        w[r & 3] = _mm_sha256msg2_epu32(next, w[(r + 3) & 3]);
      }
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(hash), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(hash + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool has_sha_extensions() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
}
#endif

const sha256_kernel SHA256_KERNELS[] = {
    {"portable", always, compress_portable},
#if defined(__x86_64__)
    {"sha-extensions", has_sha_extensions, compress_sha_extensions},
#endif
};

// Whole blocks are compressed where they lie; only a block split between two
// pieces is gathered first.
void take(sha256_state& s, const unsigned char* bytes, std::size_t size) {
  s.length += size;
  std::size_t i = 0;
  if (s.filled > 0) {
    for (; i < size && s.filled < 64; ++i) s.block[s.filled++] = bytes[i];
    if (s.filled < 64) return;
    s.kernel->compress(s.hash.data(), s.block.data(), 1);
    s.filled = 0;
  }
  const std::size_t blocks = (size - i) / 64;
  s.kernel->compress(s.hash.data(), bytes + i, blocks);
  i += 64 * blocks;
  for (; i < size; ++i) s.block[s.filled++] = bytes[i];
}

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

std::span<const sha256_kernel> sha256_kernels() { return SHA256_KERNELS; }

const sha256_kernel& fastest_sha256() {
  const std::span<const sha256_kernel> kernels = sha256_kernels();
  for (auto k = kernels.rbegin(); k != kernels.rend(); ++k) {
    if (k->supported()) return *k;
  }
  return kernels.front();
}

void sha256_take(sha256_state& s, const void* data, std::size_t size) {
  take(s, static_cast<const unsigned char*>(data), size);
}

std::string sha256_finish(sha256_state& s) { return finish(s); }

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
