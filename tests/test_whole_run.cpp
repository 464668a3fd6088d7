// Whole runs of wavmatch2 against the plain, one-value-at-a-time version of
// the same algorithms: every byte of standard output and of every raw file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "literal_wavmatch.h"
#include "program_runner.h"
#include "signal_maker.h"
#include "wav_writer.h"

namespace {

struct named_file {
  std::string name;
  bytes content;
};

struct whole_run_case {
  const char* name;
  std::function<std::vector<named_file>()> files;
  std::string expect_in_output;  // a line the run must show, as a sanity check
};

void PrintTo(const whole_run_case& c, std::ostream* os) { *os << c.name; }

constexpr std::size_t FRAMES = 60000;

std::vector<whole_run_case> cases() {
  return {
      {"codec_copies_int_and_float",
       [] {
         const stereo o = music(FRAMES);
         return std::vector<named_file>{{"song.wav", as_int_wav(o)},
                                        {"mp3_32b.wav", as_int_wav(codec_copy(o, 1105, 0.97, 1e-3))},
                                        {"aac32b.wav", as_float_wav(codec_copy(o, 1024, 1.02, 2e-3))},
                                        {"early32b.wav", as_int_wav(codec_copy(o, -800, 0.9, 1e-4))}};
       },
       "O: 1105"},
      {"exact_shift_and_half_amplitude_float",
       [] {
         const stereo o = music(FRAMES, 11);
         return std::vector<named_file>{{"o.wav", as_float_wav(o)},
                                        {"d37_32b.wav", as_float_wav(codec_copy(o, 37, 1.0, 0))},
                                        {"half32b.wav", as_float_wav(codec_copy(o, 0, 0.5, 0))}};
       },
       "O:    0   G: 2.000000  G: 6.020600  S: 0.000000"},
      {"loud_float_clips",
       [] {
         const stereo o = music(FRAMES, 5, 1.6);
         return std::vector<named_file>{{"o.wav", as_float_wav(o)},
                                        {"d32b.wav", as_float_wav(codec_copy(o, 576, 1.0, 1e-3))}};
       },
       "Clipped"},
      {"nan_and_infinity_samples",
       [] {
         const stereo o = music(FRAMES, 9);
         stereo d = codec_copy(o, 200, 1.0, 1e-3);
         for (std::size_t i = 30000; i < 30010; ++i) d.left[i] = std::numeric_limits<double>::quiet_NaN();
         for (std::size_t i = 50000; i < 50004; ++i) d.right[i] = -std::numeric_limits<double>::infinity();
         d.left[45000] = std::numeric_limits<double>::infinity();
         return std::vector<named_file>{{"o.wav", as_int_wav(o)}, {"d32b.wav", as_float_wav(d)}};
       },
       "Clipped 15 times"},
      {"silent_original",
       [] {
         const stereo o = codec_copy(music(FRAMES), 0, 0.0, 0.0);
         return std::vector<named_file>{{"o.wav", as_int_wav(o)}, {"d32b.wav", as_int_wav(music(FRAMES, 2))}};
       },
       "No Sound At All."},
      {"silent_decoded",
       [] {
         const stereo o = music(FRAMES);
         return std::vector<named_file>{{"o.wav", as_int_wav(o)},
                                        {"d32b.wav", as_int_wav(codec_copy(o, 0, 0.0, 0.0))},
                                        {"e32b.wav", as_int_wav(codec_copy(o, 300, 1.0, 1e-3))}};
       },
       "No Sound At All."},
      {"no_candidate_below_threshold_gives_gain_0",
       [] {
         // Loud, unrelated noise: every residual stays above the starting threshold.
         stereo o = codec_copy(music(FRAMES), 0, 0.0, 4000.0, 17);
         stereo d = codec_copy(music(FRAMES), 0, 0.0, 4000.0, 99);
         return std::vector<named_file>{{"o.wav", as_float_wav(o)}, {"d32b.wav", as_float_wav(d)}};
       },
       "G:     -inf"},
      {"different_lengths_and_offsets",
       [] {
         const stereo o = music(FRAMES + 5000, 21);
         stereo a = codec_copy(o, 2112, 1.1, 1e-3);
         a.left.resize(FRAMES);
         a.right.resize(FRAMES);
         stereo b = codec_copy(o, -2500, 0.8, 1e-3);
         return std::vector<named_file>{{"o.wav", as_int_wav(o)}, {"a32b.wav", as_int_wav(a)},
                                        {"b32b.wav", as_float_wav(b)}};
       },
       "O:-2500"},
  };
}

template <typename F>
auto in_folder(const std::string& folder, F work) {
  const std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  auto result = work();
  std::filesystem::current_path(here);
  return result;
}

class whole_run : public ::testing::TestWithParam<whole_run_case> {};

TEST_P(whole_run, matches_the_plain_algorithms_byte_for_byte) {
  temp_dir dir;
  std::vector<std::string> names;
  for (const named_file& f : GetParam().files()) {
    write_file(dir.file(f.name), f.content);
    names.push_back(f.name);
  }
  const program_run run = run_program(WAVMATCH2_PATH, names, dir.path);
  // The oracle runs in the same folder, so that labels and raw names agree.
  const literal_run_result expected = in_folder(dir.path, [&] { return literal_wavmatch(names); });
  const std::string& expected_out = expected.out;

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected_out);
  EXPECT_NE(run.out.find(GetParam().expect_in_output), std::string::npos) << run.out;
  for (const auto& [path, raw] : expected.raws) {
    const bytes written = read_file(dir.file(path));
    const bytes expected_raw(raw.begin(), raw.end());
    ASSERT_EQ(written.size(), expected_raw.size()) << path;
    const auto mismatch = std::mismatch(written.begin(), written.end(), expected_raw.begin());
    EXPECT_EQ(mismatch.first, written.end()) << path << " differs first at byte " << (mismatch.first - written.begin());
  }
}

INSTANTIATE_TEST_SUITE_P(rows, whole_run, ::testing::ValuesIn(cases()),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
