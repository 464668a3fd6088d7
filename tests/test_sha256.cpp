// SHA-256 of the served files, against digests computed by Python's hashlib
// for the same bytes: lengths on each side of the padding's block boundaries
// (55, 56, 63, 64 bytes and their next block) and one of several reads' size,
// whole or in pieces, by every kernel that the processor runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "sha256.h"
#include "temp_dir.h"

namespace {

std::string pattern(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 131 + 7) & 255);
  return bytes;
}

}  // namespace

TEST(sha256, digests_of_memory_and_files_equal_hashlib) {
  const struct {
    std::size_t length;
    const char* digest;
  } rows[] = {
      {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {1, "ca358758f6d27e6cf45272937977a748fd88391db679ceda7dc7bf1f005ee879"},
      {55, "16ed9c4697ca11d5f6fb25ea7900252dd4cb97215d7f6d0b2bb3e2a86ac0ec72"},
      {56, "939ada93b2fe1e9c596d767bb408567c83e253667f0b25e5be8e16f35f2cbac9"},
      {63, "6073f83b09ae82016cdbe24c18996c48f0eaa08ca675d0f6b90b807fc29e0149"},
      {64, "b337ba9b0c69c391364e985fdcb23a889887e59800832c92fbfa22b8a3c40304"},
      {65, "9d6a3fb113b586b4ab97bc11c993a27bd9b7bbcb756e0646083dc47a679600e6"},
      {119, "9773fbac8194c3d789af101b49b6a26073076895ef6e0f658432849dd477a43f"},
      {120, "070a538f085dd94821d4dc197c5c8b791051891d4fa2a1bf25d3c275236676f7"},
      {1000, "533b698850849b7908b20a22658f639c0b2a476f1791f85f50188287c31a9aba"},
      {200003, "822342b110a8a54ca62a8577eb00bed242d392f7b5b02f3a48cc32c123391541"},
  };
  temp_dir dir;
  for (const auto& row : rows) {
    const std::string bytes = pattern(row.length);
    EXPECT_EQ(sha256_hex(bytes.data(), bytes.size()), row.digest) << row.length << " bytes";
    // Pieces that split blocks anywhere, as a stream of reads hands them
    // over, through every kernel that this processor runs.
    for (const sha256_kernel& kernel : sha256_kernels()) {
      if (!kernel.supported()) continue;
      for (const std::size_t piece : {1, 7, 63, 65, 4099, 1 << 20}) {
        sha256_state s;
        s.kernel = &kernel;
        for (std::size_t at = 0; at < bytes.size(); at += piece)
          sha256_take(s, bytes.data() + at, std::min(piece, bytes.size() - at));
        EXPECT_EQ(sha256_finish(s), row.digest)
            << row.length << " bytes in pieces of " << piece << ", " << kernel.name;
      }
    }
    const std::string path = dir.path + "/bytes.bin";
    std::ofstream(path, std::ios::binary) << bytes;
    std::string hex;
    int error = 0;
    ASSERT_TRUE(sha256_file_hex(path, hex, error)) << error;
    EXPECT_EQ(hex, row.digest) << row.length << " bytes in a file";
  }
  std::string hex;
  int error = 0;
  EXPECT_FALSE(sha256_file_hex(dir.path + "/missing.bin", hex, error));
  EXPECT_NE(error, 0);
}
