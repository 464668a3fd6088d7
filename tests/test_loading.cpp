// The command line and the loading phase of wavmatch2, run as a program, and
// the track labels and records as functions.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "device_files.h"
#include "line_ends.h"
#include "program_runner.h"
#include "signal_maker.h"
#include "track_record.h"
#include "wav_track.h"
#include "wav_writer.h"

namespace {

const std::string WAVMATCH_USAGE =
    "Wavmatch ver.2.0.0 (https://abchr-tools.example.org/)" MESSAGE_END
    " Equalize offset and gain of 32bit float or int 44100Hz wav files." MESSAGE_END
    "  Then output them as raw, to perform an abc/hr test." MESSAGE_END MESSAGE_END
    "    usage:  wavmatch original.wav lossy1.wav lossy2.wav....." MESSAGE_END MESSAGE_END
    "Detectable offset: -2500 ~ 7499[sample]." MESSAGE_END MESSAGE_END
    " Yulewalk filter for 44.1kHz is used to normalize gain." MESSAGE_END;

// A valid integer WAV file of music, `frames` long.
bytes music_wav(int frames) { return as_int_wav(music(static_cast<std::size_t>(frames))); }

struct run_case {
  const char* name;
  std::vector<std::pair<std::string, bytes>> files;
  std::vector<std::string> args;
  int status;
  std::string out;  // as the program prints it; LF standing alone becomes CR LF
  std::string err = "";
};

const std::string HEADER = "wavmatch v.2.0.0  /  original reference file:";

std::vector<run_case> run_cases() {
  const bytes ok = music_wav(40001);
  const bytes short_one = music_wav(40000);
  wav_layout at_48000;
  at_48000.sample_rate = 48000;
  const bytes ok_48000 = make_wav(at_48000, bytes(ok.begin() + 44, ok.end()));
  const std::string rate_warning = "> Using sample rate other than 44.1kHz is not recommended." MESSAGE_END;
  const bytes mono = make_wav(
      [] {
        wav_layout w;
        w.channels = 1;
        return w;
      }(),
      silent_frames(8));
  std::vector<run_case> cases;
  cases.push_back({"no_argument", {}, {}, 0, WAVMATCH_USAGE});
  cases.push_back({"one_path", {{"a.wav", ok}}, {"a.wav"}, 0, WAVMATCH_USAGE});
  std::vector<std::string> eleven;
  for (int i = 0; i < 11; ++i) eleven.push_back("missing" + std::to_string(i) + ".wav");
  cases.push_back({"eleven_paths",
                   {},
                   eleven,
                   1,
                   HEADER + "missing0.wav" MESSAGE_END "Too many lossy files : wav_num:11." MESSAGE_END});
  cases.push_back({"empty_path",
                   {{"a.wav", ok}},
                   {"a.wav", ""},
                   2,
                   HEADER + "a.wav" MESSAGE_END "Cannot open this empty path ''" MESSAGE_END});
  cases.push_back({"missing_original",
                   {},
                   {"nothing.wav", "b.wav"},
                   2,
                   HEADER + "nothing.wav" MESSAGE_END "Cannot open this file : nothing.wav" MESSAGE_END,
                   "wavmatch2: nothing.wav: No such file or directory" MESSAGE_END});
  // A name ending in '/' is made as a folder.
  cases.push_back({"folder_as_original",
                   {{"adir/", {}}},
                   {"adir", "b.wav"},
                   2,
                   HEADER + "adir" MESSAGE_END "Cannot open this file : adir" MESSAGE_END,
                   "wavmatch2: adir: Is a directory" MESSAGE_END});
  cases.push_back(
      {"decoded_at_another_rate",
       {{"o.wav", ok}, {"d.wav", ok_48000}},
       {"o.wav", "d.wav", "never.wav"},
       11,
       HEADER + "o.wav" MESSAGE_END "INT 1>d.wav         " + rate_warning +
           "INT 1>d.wav         > Sample rate 48000 differs from the original's 44100." MESSAGE_END});
  cases.push_back(
      {"original_at_another_rate_before_the_length_rule",
       {{"o.wav", ok_48000}, {"d.wav", short_one}},
       {"o.wav", "d.wav"},
       11,
       HEADER + "o.wav" MESSAGE_END "INT 0>o.wav         " + rate_warning +
           "INT 1>d.wav         > Sample rate 44100 differs from the original's 48000." MESSAGE_END});
  cases.push_back({"original_of_40000_frames",
                   {{"orig.wav", short_one}, {"b.wav", ok}},
                   {"orig.wav", "b.wav"},
                   8,
                   HEADER + "orig.wav" MESSAGE_END "MINIMAL_WAV_LENGTH : 40000[samples]" MESSAGE_END
                            "shortest sample num: 40000[samples]" MESSAGE_END
                            "INT 0>orig.wav      > INPUT FILES TOO SHORT." MESSAGE_END});
  cases.push_back({"too_short_second_third_never_opened",
                   {{"a.wav", ok}, {"b.wav", short_one}},
                   {"a.wav", "b.wav", "never.wav"},
                   8,
                   HEADER + "a.wav" MESSAGE_END "MINIMAL_WAV_LENGTH : 40000[samples]" MESSAGE_END
                            "shortest sample num: 40000[samples]" MESSAGE_END
                            "INT 1>b.wav         > INPUT FILES TOO SHORT." MESSAGE_END});
  cases.push_back({"too_short_third",
                   {{"a.wav", ok}, {"b.wav", ok}, {"c.wav", short_one}},
                   {"a.wav", "b.wav", "c.wav"},
                   8,
                   HEADER + "a.wav" MESSAGE_END "MINIMAL_WAV_LENGTH : 40000[samples]" MESSAGE_END
                            "shortest sample num: 40000[samples]" MESSAGE_END
                            "INT 2>c.wav         > INPUT FILES TOO SHORT." MESSAGE_END});
  cases.push_back({"header_failure_of_track_2",
                   {{"a.wav", ok}, {"b.wav", ok}, {"c.wav", mono}},
                   {"a.wav", "b.wav", "c.wav", "never.wav"},
                   5,
                   HEADER +
                       "a.wav" MESSAGE_END
                       "INT 2>c.wav         > This is not a stereo file. Num of channel is 1." MESSAGE_END});
  return cases;
}

void PrintTo(const run_case& c, std::ostream* os) { *os << c.name; }

class wavmatch_command_line : public ::testing::TestWithParam<run_case> {};

TEST_P(wavmatch_command_line, prints_and_exits_as_expected) {
  const run_case& c = GetParam();
  temp_dir dir;
  for (const auto& [name, content] : c.files) {
    if (name.ends_with('/')) {
      std::filesystem::create_directory(dir.file(name));
    } else {
      write_file(dir.file(name), content);
    }
  }
  const program_run run = run_program(WAVMATCH2_PATH, c.args, dir.path);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.out, c.out);
  EXPECT_EQ(run.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(rows, wavmatch_command_line, ::testing::ValuesIn(run_cases()),
                         [](const auto& row) { return std::string(row.param.name); });

#ifndef _WIN32
// The aligner seeks back to each track's start twice; a pipe cannot do that,
// and reading it anyway would write misaligned stimuli without a word.
TEST(wavmatch_loading, pipe_is_refused_like_an_unopenable_file) {
  if (!has_special_file("/dev/stdin")) GTEST_SKIP() << "no /dev/stdin on this system";
  temp_dir dir;
  write_file(dir.file("a.wav"), music_wav(40001));
  const program_run run = run_program(
      "/bin/sh", {"-c", "cat a.wav | " + shell_command(WAVMATCH2_PATH) + " a.wav /dev/stdin"}, dir.path);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, HEADER + "a.wav" MESSAGE_END "Cannot open this file : /dev/stdin" MESSAGE_END);
}
#endif

TEST(wavmatch_loading, file_of_40001_frames_is_accepted) {
  temp_dir dir;
  write_file(dir.file("a.wav"), music_wav(40001));
  write_file(dir.file("b.wav"), music_wav(40001));
  const program_run run = run_program(WAVMATCH2_PATH, {"a.wav", "b.wav"}, dir.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind(HEADER + "a.wav" MESSAGE_END "                     Offset[sample]", 0), 0u)
      << run.out;
}

struct label_case {
  int index;
  std::string path;
  std::string label;
};

TEST(track_label, is_21_bytes_of_kind_index_and_base_name) {
  const std::vector<label_case> cases = {
      {0, "", "??? 0>              >"},
      {1, "thirteen_byte", "??? 1>thirteen_byte >"},
      {2, "fourteen_bytes", "??? 2>fourteen_bytes>"},
      {3, "fifteen_bytes_x", "??? 3>fifteen_bytes_>"},
      {4, "twenty_bytes_long_xx", "??? 4>twenty_bytes_l>"},
      {5, "C:\\music\\lossy1.wav", "??? 5>lossy1.wav    >"},
      {6, "dir\\sub\\fourteen_bytes", "??? 6>fourteen_bytes>"},
      {7, "folder\\", "??? 7>              >"},
      {8, "/forward/slashes/only.wav", "??? 8>/forward/slash>"},
      {9, "d:\\a/b\\twenty_bytes_long_xx", "??? 9>twenty_bytes_l>"},
      // Whole UTF-8 characters only; 14 bytes or fewer, padded to 14.
      {1, "abcdefghijklm\xc3\x9c.wav", "??? 1>abcdefghijklm >"},        // 2 bytes across byte 14
      {2, "abcdefghijkl\xe2\x82\xac.wav", "??? 2>abcdefghijkl  >"},     // 3 bytes across byte 14
      {3, "abcdefghijk\xf0\x9f\x8e\xb5.wav", "??? 3>abcdefghijk   >"},  // 4 bytes across byte 14
      {4, "abcdefghijkl\xc3\x9c.wav", "??? 4>abcdefghijkl\xc3\x9c>"},   // ends on byte 14
      {5,
       "\xc3\x9cn\xc3\xaf"
       "c\xc3\xb8"
       "d\xc3\xa9 name.wav",
       "??? 5>\xc3\x9cn\xc3\xaf"
       "c\xc3\xb8"
       "d\xc3\xa9 na>"},
      // Not UTF-8: cut by bytes, as the characters cannot be told.
      {6, "abcdefghijklm\xc3\x9c\xff.wav", "??? 6>abcdefghijklm\xc3>"},
      {7, "abcdefghijklm\xe0\x80\x80.wav", "??? 7>abcdefghijklm\xe0>"},  // overlong
      {8, "abcdefghijklm\xc0\xaf.wav", "??? 8>abcdefghijklm\xc0>"},      // overlong two-byte lead
      {9, "abcdefghijklm\xc1\xbf.wav", "??? 9>abcdefghijklm\xc1>"},
      {0, "abcdefghijk\xf0\x80\x80\x80.wav", "??? 0>abcdefghijk\xf0\x80\x80>"},  // overlong four-byte
      {1, "abcdefghijkl\xed\xa0\x80.wav", "??? 1>abcdefghijkl\xed\xa0>"},        // surrogate
      {2, "abcdefghijk\xf4\x90\x80\x80.wav", "??? 2>abcdefghijk\xf4\x90\x80>"},  // above U+10FFFF
      {3, "abcdefghijk\xf5\x80\x80\x80.wav", "??? 3>abcdefghijk\xf5\x80\x80>"},  // no lead above F4
  };
  for (const label_case& c : cases) {
    char label[LABEL_LENGTH + 1];
    build_label(label, c.index, c.path);
    EXPECT_EQ(std::string(label), c.label) << c.path;
  }
}

TEST(track_record, starts_with_its_initial_values) {
  wav_track track;
  double window[1];
  init_track(track, window);
  EXPECT_EQ(track.samples, window);
  EXPECT_EQ(track.gain, 1.0);
  EXPECT_EQ(track.index, 9);
  EXPECT_EQ(track.initial_offset, 2147483647);
  EXPECT_STREQ(track.label, "??? ?>**************>");
  EXPECT_EQ(track.fp, nullptr);
  release_track(track);
}

}  // namespace
