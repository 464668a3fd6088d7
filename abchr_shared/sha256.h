// SHA-256 (FIPS 180-4) of served files, so that a listener's results can be
// tied to the exact stimuli they heard: a result that names another folder's
// files, or an older version of a song, has other hashes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// One way of compressing whole 64-byte blocks into the hash: the portable
// one, or the SHA extensions of the x86 processors that have them, about six
// times as fast. Each gives the same hash.
struct sha256_kernel {
  const char* name;
  bool (*supported)();
  void (*compress)(uint32_t* hash, const unsigned char* blocks, std::size_t count);
};

// Every kernel this build holds, the portable one first.
std::span<const sha256_kernel> sha256_kernels();

// The last kernel of the table that this processor supports.
const sha256_kernel& fastest_sha256();

// A digest being taken of bytes that come a piece at a time: the hash, the
// bytes of a block not yet full, and the count of bytes taken so far.
struct sha256_state {
  std::array<uint32_t, 8> hash = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<unsigned char, 64> block{};
  std::size_t filled = 0;
  uint64_t length = 0;
  const sha256_kernel* kernel = &fastest_sha256();
};

void sha256_take(sha256_state& s, const void* data, std::size_t size);

// The digest of all bytes taken, as 64 lowercase hexadecimal digits; `s` is
// spent.
std::string sha256_finish(sha256_state& s);

// The digest of `size` bytes at `data`, as 64 lowercase hexadecimal digits.
std::string sha256_hex(const void* data, std::size_t size);

// The digest of a whole file. Returns false with the system's reason in
// `error` when the file cannot be read.
bool sha256_file_hex(const std::string& path, std::string& hex, int& error);
