#include "input_checks.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "../track_aligner/platform.h"
#include "utf8_paths.h"

namespace {

// Decoded files hold two 4-byte values a frame.
constexpr int DECODED_FRAME_BYTES = 8;
constexpr int64_t BLOCK = 8192;

// The largest value a 16-bit sample keeps unclamped.
constexpr double LARGEST_SAMPLE = 32767;

uint32_t load_u32(const unsigned char* b) {
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// A value as a double on the scale of 32-bit integers, exactly: an integer as
// it is, a float times 2^31.
double exact_value(const unsigned char* b, bool is_float) {
  const uint32_t bits = load_u32(b);
  if (!is_float) return static_cast<double>(static_cast<int32_t>(bits));
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return static_cast<double>(f) * 2147483648.0;
}

// Calls `use` with each block of values from frame `first` on, `frames` in
// all, until it returns false. false when the file cannot be read.
template <typename each_block>
bool read_values(wav_track& track, int64_t first, int64_t frames, each_block use) {
  if (!file_seek(track.fp, track.data_pos + DECODED_FRAME_BYTES * first, SEEK_SET)) return false;
  std::vector<unsigned char> buffer(static_cast<std::size_t>(BLOCK * DECODED_FRAME_BYTES));
  for (int64_t done = 0; done < frames;) {
    const int64_t count = std::min(BLOCK, frames - done);
    const std::size_t bytes = static_cast<std::size_t>(count * DECODED_FRAME_BYTES);
    if (std::fread(buffer.data(), 1, bytes, track.fp) != bytes) return false;
    if (!use(buffer.data(), 2 * count)) return true;
    done += count;
  }
  return true;
}

bool same_bytes(const std::string& a, const std::string& b, int& error) {
  std::ifstream x(path_of(a), std::ios::binary);
  std::ifstream y(path_of(b), std::ios::binary);
  if (!x || !y) {
    error = errno != 0 ? errno : EIO;
    return false;
  }
  std::vector<char> p(1 << 16);
  std::vector<char> q(1 << 16);
  for (;;) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() ||
        std::memcmp(p.data(), q.data(), static_cast<std::size_t>(x.gcount())) != 0)
      return false;
    if (x.gcount() == 0 || !x) return !x.bad() && !y.bad();
  }
}

}  // namespace

std::vector<int> repeated_inputs(const std::vector<std::string>& inputs, int& error) {
  namespace fs = std::filesystem;
  std::vector<int> earlier(inputs.size(), -1);
  std::vector<uintmax_t> sizes;
  for (const std::string& input : inputs) {
    std::error_code ec;
    sizes.push_back(fs::file_size(path_of(input), ec));
    if (ec) error = ec.value();
  }
  for (std::size_t k = 1; k < inputs.size(); ++k) {
    for (std::size_t j = 0; j < k && earlier[k] < 0; ++j) {
      std::error_code ec;
      if (fs::equivalent(path_of(inputs[j]), path_of(inputs[k]), ec) ||
          (sizes[j] == sizes[k] && same_bytes(inputs[j], inputs[k], error))) {
        earlier[k] = static_cast<int>(j);
      }
    }
  }
  return earlier;
}

bool decodes_to_silence(wav_track& track) {
  bool silent = true;
  const bool read = read_values(track, 0, track.frame_num, [&](const unsigned char* b, int64_t values) {
    for (int64_t i = 0; i < values && silent; ++i) silent = exact_value(b + 4 * i, track.is_float != 0) == 0;
    return silent;
  });
  return read && silent;
}

bool decode_the_same(wav_track& a, wav_track& b) {
  if (a.frame_num != b.frame_num) return false;
  // The second track is read alongside, a block at a time.
  std::vector<unsigned char> other(static_cast<std::size_t>(BLOCK * DECODED_FRAME_BYTES));
  if (!file_seek(b.fp, b.data_pos, SEEK_SET)) return false;
  bool same = true;
  const bool read = read_values(a, 0, a.frame_num, [&](const unsigned char* x, int64_t values) {
    const std::size_t bytes = static_cast<std::size_t>(values * 4);
    if (std::fread(other.data(), 1, bytes, b.fp) != bytes) return same = false;
    for (int64_t i = 0; i < values && same; ++i) {
      same = exact_value(x + 4 * i, a.is_float != 0) == exact_value(other.data() + 4 * i, b.is_float != 0);
    }
    return same;
  });
  return read && same;
}

double decoded_peak(wav_track& track, int64_t first, int64_t frames) {
  double peak = 0;
  read_values(track, first, frames, [&](const unsigned char* b, int64_t values) {
    for (int64_t i = 0; i < values; ++i)
      peak = std::max(peak, std::fabs(exact_value(b + 4 * i, track.is_float != 0) / 2147483648.0));
    return true;
  });
  return peak;
}

double headroom_needed(double peak, double asked_db) {
  const double more = 20 * std::log10(peak / LARGEST_SAMPLE);
  // A tenth of a dB at a time, up: the value given back must be enough.
  return std::ceil((asked_db + std::max(0.0, more)) * 10 + 1e-9) / 10;
}
