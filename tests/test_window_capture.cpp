// The equal-loudness filter and the capture of the analysis window: where the
// original's window starts, what it holds, and inputs that misbehave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "console_capture.h"
#include "device_files.h"
#include "filter_one_track.h"
#include "held_memory.h"
#include "literal_wavmatch.h"
#include "loudness_filter_reference.h"
#include "signal_maker.h"
#include "track_record.h"
#include "wav_header.h"
#include "wav_track.h"
#include "wav_writer.h"
#include "window_capture.h"

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Six tracks side by side (four lanes and two on an AVX2 processor) through
// each kernel, in blocks of several sizes, against each track filtered alone.
TEST(loudness_filter, every_kernel_gives_each_lane_the_bits_of_one_value_at_a_time) {
  constexpr int TRACKS = 6, FRAMES = 20000;
  std::vector<std::vector<double>> in(TRACKS, std::vector<double>(FRAMES));
  unsigned state = 5;
  for (int t = 0; t < TRACKS; ++t) {
    for (int i = 0; i < FRAMES; ++i) in[t][i] = (i % (1000 + 500 * t) < 700 ? 1.5 : 1e-6) * noise_at(state);
  }
  in[1][777] = 1e300;  // extreme values must not change the order of operations either
  std::vector<std::vector<double>> expected(TRACKS, std::vector<double>(FRAMES));
  for (int t = 0; t < TRACKS; ++t) {
    loudness_filter one;
    for (int i = 0; i < FRAMES; ++i) expected[t][i] = filter_step(one, in[t][i]);
  }
  for (const filter_kernel& kernel : filter_kernels()) {
    if (!kernel.supported()) continue;
    SCOPED_TRACE(kernel.name);
    std::vector<loudness_filter> blocks(TRACKS);
    std::vector<std::vector<double>> out(TRACKS, std::vector<double>(FRAMES));
    int done = 0;
    for (int size : {1, 2, 7, 100, 4096, 3, 8192}) {
      while (done < FRAMES) {
        const int n = std::min(size, FRAMES - done);
        std::vector<const double*> from;
        std::vector<double*> to;
        for (int t = 0; t < TRACKS; ++t) {
          from.push_back(in[t].data() + done);
          to.push_back(out[t].data() + done);
        }
        filter_side_by_side(kernel, blocks, from, to, n);
        done += n;
        if (size < 8192) break;
      }
    }
    ASSERT_EQ(done, FRAMES);
    for (int t = 0; t < TRACKS; ++t) {
      for (int i = 0; i < FRAMES; ++i) ASSERT_TRUE(same_bits(out[t][i], expected[t][i])) << t << " " << i;
    }
  }
}

// Loads a track from file bytes and captures its window.
struct captured {
  int status = -1;
  int initial_offset = 0;
  std::vector<double> window;
  std::string printed;
  std::string path;
};

captured capture(const bytes& file, int index, int shortest_sample, int initial_offset = 2147483647) {
  temp_dir dir;
  write_file(dir.file("t.wav"), file);
  held_memory memory;
  wav_track track;
  init_track(track, memory->windows[0]);
  track.index = index;
  captured c;
  console_capture console;
  EXPECT_EQ(read_wav_header(track, dir.file("t.wav")), 0);
  track.shortest_sample = shortest_sample;
  track.initial_offset = initial_offset;
  const std::string path = dir.file("t.wav");
  c.status = capture_windows(&track, &path, 1, memory->capture);
  c.initial_offset = track.initial_offset;
  c.window.assign(track.samples, track.samples + ANALYSIS_WINDOW);
  c.printed = console.text();
  c.path = dir.file("t.wav");
  release_track(track);
  return c;
}

stereo silence(std::size_t frames) { return codec_copy(music(frames), 0, 0.0, 0.0); }

struct start_case {
  const char* name;
  stereo signal;
  int shortest_sample;
  int expected_start;
};

TEST(window_start, follows_the_music_and_the_shortest_track) {
  stereo click = silence(50000);
  click.left[5000] = 0.1;
  click.right[5000] = 0.1;  // channel sum 0.2
  stereo soft_onset = silence(50000);
  for (std::size_t i = 6000; i < 50000; ++i)
    soft_onset.left[i] = 0.02 * std::sin(0.05 * static_cast<double>(i));
  const std::vector<start_case> cases = {
      {"click at 5000 starts the window after it", click, 50000, 5001},
      {"music loud from the start begins at 4100", music(50000), 50000, 4100},
      {"loud music, 44100 frames in the shortest track", music(50000), 44100, 4100},
      {"shortest track of 40001 frames", music(50000), 40001, 1},
      {"shortest track of 44099 frames", music(50000), 44099, 4099},
      {"silence, 44100 frames in the shortest track", silence(50000), 44100, 4100},
      {"silence ends the window on the shortest track's last frame", silence(50000), 50000, 10000},
  };
  for (const start_case& c : cases) {
    const captured got = capture(as_int_wav(c.signal), 0, c.shortest_sample);
    EXPECT_EQ(got.status, 0) << c.name;
    EXPECT_EQ(got.initial_offset, c.expected_start) << c.name;
    EXPECT_EQ(got.printed, "") << c.name;
  }
  const captured onset = capture(as_int_wav(soft_onset), 0, 50000);
  EXPECT_GT(onset.initial_offset, 6000);
  EXPECT_LT(onset.initial_offset, 10000);
}

TEST(window_contents, are_the_filtered_channel_sums_from_the_start_frame) {
  const stereo s = music(50000, 4);
  const captured original = capture(as_int_wav(s), 0, 50000);
  ASSERT_EQ(original.initial_offset, 4100);
  // A decoded track is captured from the original's start, whatever its own audio.
  const captured decoded = capture(as_int_wav(s), 1, 50000, 4100);
  std::vector<double> sums(s.frames());
  const bytes file = as_int_wav(s);
  for (std::size_t i = 0; i < s.frames(); ++i) {
    int32_t l, r;
    std::memcpy(&l, file.data() + 44 + 8 * i, 4);
    std::memcpy(&r, file.data() + 48 + 8 * i, 4);
    sums[i] = static_cast<double>(static_cast<int64_t>(l) + r) * (1.0 / 2147483648.0);
  }
  std::vector<double> filtered(sums.size());
  loudness_filter fresh;
  filter_run(fresh, sums.data(), filtered.data(), static_cast<int>(sums.size()));
  for (int p = 0; p < ANALYSIS_WINDOW; ++p) {
    ASSERT_TRUE(same_bits(original.window[p], filtered[4100 + static_cast<std::size_t>(p)])) << p;
    ASSERT_TRUE(same_bits(decoded.window[p], original.window[p])) << p;
  }
}

// Tracks captured side by side hold, bit for bit, what each captures alone:
// lengths that end in different blocks, and an odd count (a silent lane more).
TEST(window_contents, side_by_side_are_each_track_alone) {
  const stereo s = music(60000, 5);
  const std::vector<bytes> files = {as_int_wav(s), as_int_wav(codec_copy(s, 700, 0.9, 1e-3)),
                                    as_int_wav(codec_copy(music(50000, 9), -300, 1.1, 1e-4))};
  temp_dir dir;
  held_memory memory;
  wav_track tracks[3];
  std::string paths[3];
  for (int k = 0; k < 3; ++k) {
    paths[k] = dir.file("t" + std::to_string(k) + ".wav");
    write_file(paths[k], files[static_cast<std::size_t>(k)]);
    init_track(tracks[k], memory->windows[k]);
    tracks[k].index = k;
    ASSERT_EQ(read_wav_header(tracks[k], paths[k]), 0);
    tracks[k].shortest_sample = 50000;
  }
  ASSERT_EQ(capture_windows(tracks, paths, 3, memory->capture), 0);
  for (int k = 0; k < 3; ++k) {
    const captured alone =
        capture(files[static_cast<std::size_t>(k)], k, 50000, k == 0 ? 2147483647 : tracks[0].initial_offset);
    EXPECT_EQ(tracks[k].initial_offset, alone.initial_offset) << k;
    for (int p = 0; p < ANALYSIS_WINDOW; ++p)
      ASSERT_TRUE(same_bits(tracks[k].samples[p], alone.window[p])) << k << " " << p;
    release_track(tracks[k]);
  }
}

// The same capture by the plain aligner of literal_wavmatch.h, whose filter
// shares no code and no coefficient with the program's.
literal::track literal_capture(const bytes& file, int index, int shortest_sample, int initial_offset) {
  temp_dir dir;
  write_file(dir.file("t.wav"), file);
  literal::track t;
  t.index = index;
  EXPECT_TRUE(literal::read_header(t, dir.file("t.wav"), stdout));
  t.shortest_sample = shortest_sample;
  t.initial_offset = initial_offset;
  literal::capture_window(t, stdout);
  std::fclose(t.fp);
  t.fp = nullptr;
  return t;
}

// Whole runs print gains and scores to six decimals only, which hides a small
// error in a coefficient; the windows themselves show every bit.
TEST(window_contents, match_a_filter_written_independently) {
  struct row {
    const char* name;
    bytes file;
    int index;
    int initial_offset;
  };
  stereo with_nan = music(50000, 12);
  with_nan.left[6000] = std::numeric_limits<double>::quiet_NaN();
  const std::vector<row> rows = {
      {"integer original", as_int_wav(music(50000, 4)), 0, 2147483647},
      {"float original with a NaN", as_float_wav(with_nan), 0, 2147483647},
      {"decoded track from frame 5000", as_int_wav(music(50000, 9)), 1, 5000},
  };
  for (const row& r : rows) {
    const captured got = capture(r.file, r.index, 50000, r.initial_offset);
    const literal::track expected = literal_capture(r.file, r.index, 50000, r.initial_offset);
    EXPECT_EQ(got.initial_offset, expected.initial_offset) << r.name;
    for (int p = 0; p < ANALYSIS_WINDOW; ++p) {
      ASSERT_TRUE(same_bits(got.window[p], expected.samples[static_cast<std::size_t>(p)]))
          << r.name << " at " << p;
    }
  }
}

TEST(window_contents, integer_and_float_files_of_the_same_audio_agree) {
  // Values that single precision holds exactly: integer v * 2^31 against float v.
  stereo s = music(50000, 8);
  for (std::size_t i = 0; i < s.frames(); ++i) {
    s.left[i] = std::round(s.left[i] * 65536.0) / 65536.0;
    s.right[i] = std::round(s.right[i] * 65536.0) / 65536.0;
  }
  const captured as_int = capture(as_int_wav(s), 0, 50000);
  const captured as_float = capture(as_float_wav(s), 0, 50000);
  EXPECT_EQ(as_int.initial_offset, as_float.initial_offset);
  for (int p = 0; p < ANALYSIS_WINDOW; ++p) ASSERT_TRUE(same_bits(as_int.window[p], as_float.window[p])) << p;
}

TEST(window_contents, non_finite_float_samples_read_as_silence) {
  stereo s = music(50000, 6);
  stereo zeroed = s;
  const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity()};
  for (std::size_t i = 0; i < 30; ++i) {
    const std::size_t at = 3000 + 1500 * i;
    s.left[at] = bad[i % 3];
    zeroed.left[at] = 0.0;
  }
  const captured with_bad = capture(as_float_wav(s), 0, 50000);
  const captured with_zero = capture(as_float_wav(zeroed), 0, 50000);
  EXPECT_EQ(with_bad.initial_offset, with_zero.initial_offset);
  for (int p = 0; p < ANALYSIS_WINDOW; ++p) {
    ASSERT_TRUE(std::isfinite(with_bad.window[p]));
    ASSERT_TRUE(same_bits(with_bad.window[p], with_zero.window[p])) << p;
  }
}

TEST(window_capture, over_run_reports_the_count_and_clears_the_rest) {
  const captured got = capture(as_int_wav(music(45000)), 1, 50000, 10000);
  EXPECT_EQ(got.status, 0);  // the run goes on
  // Only a backslash separates folders in a label: the path's first 14 bytes.
  EXPECT_EQ(got.printed, "INT 1>" + got.path.substr(0, 14) + "> over run. 35000/40000" MESSAGE_END);
  for (int p = 35000; p < ANALYSIS_WINDOW; ++p) ASSERT_EQ(got.window[p], 0.0);
}

#ifndef _WIN32
TEST(window_capture, read_error_is_reported_not_ignored) {
  if (!has_special_file("/proc/self/mem")) GTEST_SKIP() << "no /proc/self/mem on this system";
  held_memory memory;
  wav_track track;
  init_track(track, memory->windows[0]);
  track.index = 0;
  track.fp = std::fopen("/proc/self/mem", "rb");  // any read at offset 0 fails with EIO
  ASSERT_NE(track.fp, nullptr);
  track.frame_num = 50000;
  track.shortest_sample = 50000;
  console_capture console;
  const std::string path = "/proc/self/mem";
  EXPECT_EQ(capture_windows(&track, &path, 1, memory->capture), 2);
  EXPECT_EQ(console.text(), "Cannot read /proc/self/mem" MESSAGE_END);
  release_track(track);
}
#endif

}  // namespace
