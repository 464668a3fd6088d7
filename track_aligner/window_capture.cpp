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

// What the capture knows of one track between blocks.
struct lane_state {
  int captured = 0;
  unsigned char last[4] = {};  // the last value read, for frames a shrunk file lost
  bool done = false;           // window full, track ended or input failed
  bool over_run = false;       // ended before its window was full
  bool failed = false;         // the input failed, with errno `error`
  int error = 0;
};

// Reads the track's next `count` frames into lane `lane` of x, the sums of
// their two channels. False when the input fails.
bool read_sums(wav_track& track, frame_block& block, unsigned char (&last)[4], double* x, int lanes, int lane,
               int count) {
  read_frames(track.fp, block, count, last);
  if (block.error) return false;
  // The filter input is the sum of the two channels, not their mean.
  const unsigned char* frame = block.bytes;
  double* to = x + lane;
  if (track.is_float) {
    for (int i = 0; i < count; ++i, frame += FRAME_BYTES, to += lanes) {
      *to = finite_or_zero(load_f32(frame)) + finite_or_zero(load_f32(frame + 4));
    }
  } else {
    for (int i = 0; i < count; ++i, frame += FRAME_BYTES, to += lanes) {
      const int64_t sum = static_cast<int64_t>(load_i32(frame)) + load_i32(frame + 4);
      *to = static_cast<double>(sum) * INT_FULL_SCALE;
    }
  }
  return true;
}

// Sets lane `lane`'s input to silence for the frames [from, count) of the
// block, and its whole history too when from is 0: a lane without input stays
// exactly zero (never subnormal, which would be slow).
void silence_lane(capture_workspace& work, int lanes, int lane, int from, int count) {
  for (int i = from == 0 ? -X_HISTORY : from; i < count; ++i) work.x[(X_HISTORY + i) * lanes + lane] = 0.0;
  if (from != 0) return;
  for (int i = 0; i < HY_HISTORY; ++i) {
    work.h[i * lanes + lane] = 0.0;
    work.y[i * lanes + lane] = 0.0;
  }
}

// The original's values of a block while its window's start is open: it
// decides where the window starts, where the music has become audible, and
// keeps the values from there on.
void find_start(wav_track& track, lane_state& lane, double& power, int32_t j0, const double* y, int lanes,
                int count) {
  for (int i = 0; i < count; ++i, y += lanes) {
    const int32_t j = j0 + i;
    const double value = *y;
    if (lane.captured == 0) {
      if (j >= EARLIEST_START && power >= AUDIBLE_POWER) {
        track.initial_offset = j;
      } else if (static_cast<int64_t>(track.shortest_sample) > static_cast<int64_t>(j) + ANALYSIS_WINDOW) {
        power = (power + value * value) * 0.5;
      } else {
        track.initial_offset = j;
      }
    }
    if (j >= track.initial_offset) {
      track.samples[lane.captured++] = value;
      if (lane.captured == ANALYSIS_WINDOW) {
        lane.done = true;
        return;
      }
    }
  }
}

// A track's values of a block once its window's start is known: those from it on.
void copy_block(wav_track& track, lane_state& lane, int32_t start, int32_t j0, const double* y, int lanes,
                int count) {
  if (static_cast<int64_t>(start) >= static_cast<int64_t>(j0) + count) return;
  const int first = start > j0 ? start - j0 : 0;
  const int n =
      count - first < ANALYSIS_WINDOW - lane.captured ? count - first : ANALYSIS_WINDOW - lane.captured;
  y += static_cast<std::ptrdiff_t>(first) * lanes;
  double* to = track.samples + lane.captured;
  for (int i = 0; i < n; ++i) to[i] = y[static_cast<std::ptrdiff_t>(i) * lanes];
  lane.captured += n;
  lane.done = lane.captured == ANALYSIS_WINDOW;
}

bool all_done(const lane_state* state, int count) {
  for (int l = 0; l < count; ++l) {
    if (!state[l].done) return false;
  }
  return true;
}

}  // namespace

int capture_windows(wav_track* tracks, const std::string* paths, int count, capture_workspace& work) {
  const int lanes = count + count % 2;
  const bool finds_start = tracks[0].index == 0;
  lane_state state[CAPTURE_LANES];
  double power = 0.0;  // the original's running power, while its start is open
  for (int l = 0; l < lanes; ++l) silence_lane(work, lanes, l, 0, 0);
  for (int l = 0; l < count; ++l) {
    if (!file_seek(tracks[l].fp, tracks[l].data_pos, SEEK_SET)) {
      state[l].error = errno;
      state[l].failed = state[l].done = true;
    }
  }
  if (lanes > count) state[count].done = true;

  for (int32_t j0 = 0;; j0 += BLOCK_FRAMES) {
    int block = 0;
    for (int l = 0; l < count; ++l) {
      lane_state& lane = state[l];
      if (lane.done) continue;
      const int32_t left = tracks[l].frame_num - j0;
      const int n = left < BLOCK_FRAMES ? left : BLOCK_FRAMES;
      if (n > 0 && !read_sums(tracks[l], work.block, lane.last, work.x + X_HISTORY * lanes, lanes, l, n)) {
        lane.error = errno;
        lane.failed = lane.done = true;
      }
      if (n > block) block = n;
    }
    if (block == 0) break;
    // Lanes that ended within this block, or before it, run on silence.
    for (int l = 0; l < lanes; ++l) {
      if (state[l].done) {
        silence_lane(work, lanes, l, 0, block);
      } else if (tracks[l].frame_num - j0 < block) {
        silence_lane(work, lanes, l, tracks[l].frame_num - j0, block);
      }
    }
    for (int c = 0; c < block && !all_done(state, count); c += CAPTURE_CHUNK) {
      const int chunk = block - c < CAPTURE_CHUNK ? block - c : CAPTURE_CHUNK;
      filter_lanes(work.x + (X_HISTORY + c) * lanes, work.h + HY_HISTORY * lanes, work.y + HY_HISTORY * lanes,
                   lanes, chunk);
      // The original first: the others' windows start where it decides.
      for (int l = 0; l < count; ++l) {
        lane_state& lane = state[l];
        const int32_t left = tracks[l].frame_num - j0 - c;
        if (lane.done || left <= 0) continue;
        const bool open_start = finds_start && l == 0 && lane.captured == 0;
        const int32_t start = finds_start ? tracks[0].initial_offset : tracks[l].initial_offset;
        const double* values = work.y + HY_HISTORY * lanes + l;
        const int n = left < chunk ? left : chunk;
        if (open_start) {
          find_start(tracks[l], lane, power, j0 + c, values, lanes, n);
        } else {
          copy_block(tracks[l], lane, start, j0 + c, values, lanes, n);
        }
      }
      // The history of the next chunk: this chunk's last frames.
      std::memmove(work.h, work.h + static_cast<std::ptrdiff_t>(chunk) * lanes,
                   sizeof(double) * HY_HISTORY * lanes);
      std::memmove(work.y, work.y + static_cast<std::ptrdiff_t>(chunk) * lanes,
                   sizeof(double) * HY_HISTORY * lanes);
    }
    for (int l = 0; l < count; ++l) {
      if (!state[l].done && tracks[l].frame_num - j0 <= block) state[l].done = state[l].over_run = true;
    }
    std::memmove(work.x, work.x + static_cast<std::ptrdiff_t>(block) * lanes,
                 sizeof(double) * X_HISTORY * lanes);
  }

  for (int l = 0; l < count; ++l) {
    wav_track& track = tracks[l];
    if (finds_start && l != 0) track.initial_offset = tracks[0].initial_offset;
    if (state[l].failed) return say_cannot_read(paths[l], state[l].error);
    if (state[l].over_run || state[l].captured < ANALYSIS_WINDOW) {
      // Unreachable for inputs the loader accepted; the unfilled rest is
      // cleared so that the search never sees stale values.
      std::memset(track.samples + state[l].captured, 0,
                  sizeof(double) * static_cast<std::size_t>(ANALYSIS_WINDOW - state[l].captured));
      say("%s over run. %d/%d\r\n", track.label, state[l].captured, ANALYSIS_WINDOW);
    }
  }
  return STATUS_OK;
}
