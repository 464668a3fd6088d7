// Whole runs of wavmatch2 against the plain, one-value-at-a-time version of
// the same algorithms in literal_wavmatch.h, which shares nothing with the
// program: every byte of standard output and of every raw file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
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
  // The residual a candidate must come in below; wavmatch2 still starts its
  // search at 999999999.9 instead of +infinity, and only one row depends on it.
  double first_best = std::numeric_limits<double>::infinity();
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
       "G:     -inf", 999999999.9},
      {"different_lengths_and_offsets",
       [] {
         const stereo o = music(FRAMES + 5000, 21);
         stereo a = codec_copy(o, 2112, 1.1, 1e-3);
         a.left.resize(FRAMES);
         a.right.resize(FRAMES);
         stereo b = codec_copy(o, -2500, 0.8, 1e-3);
         return std::vector<named_file>{
             {"o.wav", as_int_wav(o)}, {"a32b.wav", as_int_wav(a)}, {"b32b.wav", as_float_wav(b)}};
       },
       "O:-2500"},
      {"extensible_float_list_chunk_and_48000_hz",
       [] {
         // Headers as other tools write them: a LIST chunk before "fmt ", the
         // extensible format with its float sub-format, a fact chunk of odd
         // length with its pad byte, another sample rate.
         const stereo o = music(FRAMES, 13);
         const bytes o_wav = as_int_wav(o);
         const bytes d_wav = as_float_wav(codec_copy(o, 441, 1.05, 1e-3));
         wav_layout original;
         original.before_fmt = {extra_chunk{"LIST", 26}};
         wav_layout decoded = float_layout();
         decoded.format_tag = 0xFFFE;
         decoded.fmt_length = 40;
         decoded.subformat = GUID_FLOAT;
         decoded.sample_rate = 48000;
         decoded.after_fmt = {extra_chunk{"fact", 3}};
         constexpr std::size_t HEADER = 44;
         return std::vector<named_file>{
             {"o.wav", make_wav(original, bytes(o_wav.begin() + HEADER, o_wav.end()))},
             {"d32b.wav", make_wav(decoded, bytes(d_wav.begin() + HEADER, d_wav.end()))}};
       },
       "FLO 1>d32b.wav      > O:  441"},
  };
}

// The same input files in two folders, one for each aligner, so that their
// raw files never meet.
struct twin_folders {
  temp_dir program;
  temp_dir literal;
  std::vector<std::string> names;
  explicit twin_folders(const std::vector<named_file>& files) {
    for (const named_file& f : files) {
      write_file(program.file(f.name), f.content);
      write_file(literal.file(f.name), f.content);
      names.push_back(f.name);
    }
  }
};

// The raw files in a folder, by name.
std::map<std::string, bytes> raw_files(const std::string& folder) {
  std::map<std::string, bytes> raws;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".raw") raws[entry.path().filename().string()] = read_file(entry.path());
  }
  return raws;
}

void expect_same_raw_files(const std::string& expected_folder, const std::string& actual_folder,
                           std::size_t count) {
  const std::map<std::string, bytes> expected = raw_files(expected_folder);
  const std::map<std::string, bytes> actual = raw_files(actual_folder);
  EXPECT_EQ(expected.size(), count);
  ASSERT_EQ(actual.size(), expected.size());
  for (const auto& [name, raw] : expected) {
    ASSERT_EQ(actual.count(name), 1u) << name;
    const bytes& written = actual.at(name);
    ASSERT_EQ(written.size(), raw.size()) << name;
    const auto mismatch = std::mismatch(written.begin(), written.end(), raw.begin());
    EXPECT_EQ(mismatch.first, written.end())
        << name << " differs first at byte " << (mismatch.first - written.begin());
  }
}

// Runs the reference in `folder`, so that labels and raw names agree with the
// program's, and returns its status and standard output.
program_run literal_run(const std::string& folder, const std::vector<std::string>& names, double first_best) {
  program_run run;
  char here[4096];
  EXPECT_NE(getcwd(here, sizeof here), nullptr);
  EXPECT_EQ(chdir(folder.c_str()), 0);
  char* text = nullptr;
  std::size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  run.status = literal::run(names, out, first_best);
  std::fclose(out);
  run.out.assign(text, size);
  std::free(text);
  EXPECT_EQ(chdir(here), 0);
  return run;
}

class whole_run : public ::testing::TestWithParam<whole_run_case> {};

TEST_P(whole_run, matches_the_plain_algorithms_byte_for_byte) {
  const twin_folders dirs(GetParam().files());
  const program_run run = run_program(WAVMATCH2_PATH, dirs.names, dirs.program.path);
  const program_run expected = literal_run(dirs.literal.path, dirs.names, GetParam().first_best);

  EXPECT_EQ(expected.status, 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected.out);
  EXPECT_NE(run.out.find(GetParam().expect_in_output), std::string::npos) << run.out;
  expect_same_raw_files(dirs.literal.path, dirs.program.path, dirs.names.size());
}

INSTANTIATE_TEST_SUITE_P(rows, whole_run, ::testing::ValuesIn(cases()),
                         [](const auto& row) { return std::string(row.param.name); });

// The benchmark's program built from the same reference: same command line,
// same bytes.
TEST(literal_wavmatch_program, writes_what_wavmatch2_writes) {
  const twin_folders dirs(cases().front().files());
  const program_run run = run_program(WAVMATCH2_PATH, dirs.names, dirs.program.path);
  const program_run expected = run_program(LITERAL_WAVMATCH_PATH, dirs.names, dirs.literal.path);
  EXPECT_EQ(expected.status, 0);
  EXPECT_EQ(expected.err, "");
  EXPECT_EQ(run.out, expected.out);
  expect_same_raw_files(dirs.literal.path, dirs.program.path, dirs.names.size());
}

}  // namespace
