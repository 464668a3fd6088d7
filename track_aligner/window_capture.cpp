// Streams a track from its first frame through the equal-loudness filter and
// keeps ANALYSIS_WINDOW filtered values. On the original the same pass decides
// where the window starts: where the music has become audible.
#include "window_capture.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "console.h"
#include "frame_reader.h"
#include "little_endian.h"
#include "loudness_filter.h"
#include "platform.h"

namespace {

// The window may not start before this frame unless the shortest track leaves
// no room: the first 0.1 s of a codec's output is often its own start-up.
constexpr int EARLIEST_START = 4100;
// Running power (exponential average, weight one half) that counts as audible.
constexpr double AUDIBLE_POWER = 0.0000152587890625;  // 2^-16

// Non-finite float samples would poison every sum of the search; they are read
// as silence here.
double finite_or_zero(float value) { return std::isfinite(value) ? static_cast<double>(value) : 0.0; }

}  // namespace

int capture_window(wav_track& track, const std::string& path, capture_workspace& work) {
  loudness_filter filter;
  double power = 0.0;
  int captured = 0;
  const bool finds_start = track.index == 0;
  frame_block& block = work.block;
  double* sums = work.sums;
  double* weighted = work.weighted;
  unsigned char last[4] = {};

  if (!file_seek(track.fp, track.data_pos, SEEK_SET)) return say_cannot_read(path, errno);
  for (int32_t j0 = 0; j0 < track.frame_num; j0 += BLOCK_FRAMES) {
    const int count = track.frame_num - j0 < BLOCK_FRAMES ? track.frame_num - j0 : BLOCK_FRAMES;
    read_frames(track.fp, block, count, last);
    if (block.error) return say_cannot_read(path, errno);
    // The filter input is the sum of the two channels, not their mean.
    const unsigned char* frame = block.bytes;
    if (track.is_float) {
      for (int i = 0; i < count; ++i, frame += FRAME_BYTES) {
        sums[i] = finite_or_zero(load_f32(frame)) + finite_or_zero(load_f32(frame + 4));
      }
    } else {
      for (int i = 0; i < count; ++i, frame += FRAME_BYTES) {
        const int64_t sum = static_cast<int64_t>(load_i32(frame)) + load_i32(frame + 4);
        sums[i] = static_cast<double>(sum) * INT_FULL_SCALE;
      }
    }
    filter_run(filter, sums, weighted, count);

    for (int i = 0; i < count; ++i) {
      const int32_t j = j0 + i;
      const double y = weighted[i];
      if (finds_start && captured == 0) {
        if (j >= EARLIEST_START && power >= AUDIBLE_POWER) {
          track.initial_offset = j;
        } else if (static_cast<int64_t>(track.shortest_sample) > static_cast<int64_t>(j) + ANALYSIS_WINDOW) {
          power = (power + y * y) * 0.5;
        } else {
          track.initial_offset = j;
        }
      }
      if (j >= track.initial_offset) {
        track.samples[captured++] = y;
        if (captured == ANALYSIS_WINDOW) return STATUS_OK;
      }
    }
  }
  // Unreachable for inputs the loader accepted; the unfilled rest is cleared
  // so that the search never sees stale values.
  std::memset(track.samples + captured, 0,
              sizeof(double) * static_cast<std::size_t>(ANALYSIS_WINDOW - captured));
  say("%s over run. %d/%d\r\n", track.label, captured, ANALYSIS_WINDOW);
  return STATUS_OK;
}
