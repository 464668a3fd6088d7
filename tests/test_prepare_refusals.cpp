// abchr-prepare's refusals, one row each: its status, its message on standard
// error, and that nothing was written, not even a temporary file. Rows that
// pass show that the fix the message names works. The encoded files are
// lossless float WAVs made from the music (ffmpeg decodes them like any
// other), apart from the low-rate MP3.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "prepare_runs.h"
#include "temp_dir.h"
#include "tool_lookup.h"

namespace {

constexpr std::size_t SONG_FRAMES = 4 * MUSIC_RATE;

struct refusal_row {
  const char* name;
  std::vector<std::string> args;
  int status;
  const char* message;                     // a part of standard error
  const char* path = "";                   // "none": a PATH without ffmpeg and ffprobe
  std::vector<const char*> warnings = {};  // of a run that passes: a part of each warning of its report
};

void PrintTo(const refusal_row& r, std::ostream* os) { *os << r.name; }

std::vector<std::string> ten_encoded() {
  std::vector<std::string> args{"song.wav"};
  for (int k = 0; k < 10; ++k) args.push_back("copy.wav");
  return args;
}

const std::vector<refusal_row> rows = {
    {"mp3_at_24_khz",
     {"song.wav", "low24k.mp3"},
     2,
     "low24k.mp3: its sample rate is 24000 Hz, the original's 44100 Hz"},
    {"mp3_at_24_khz_resampled",
     {"--resample", "song.wav", "low24k.mp3"},
     0,
     "",
     "",
     {"low24k.mp3: resampled from 24000 Hz"}},
    // The search reaches from -2500 to 7499 frames; its edges are refused.
    {"offset_at_the_late_edge",
     {"song.wav", "late7499.wav"},
     4,
     "late7499.wav: its offset 7499 lies at the edge"},
    {"offset_within_the_late_edge", {"song.wav", "late7498.wav"}, 0, ""},
    {"offset_at_the_early_edge",
     {"song.wav", "early2500.wav"},
     4,
     "early2500.wav: its offset -2500 lies at the"},
    // FLAC's start time predicts no delay; decoders may differ by 4 frames.
    {"offset_beyond_the_prediction",
     {"song.wav", "late5.flac"},
     0,
     "",
     "",
     {"late5.flac: measured offset 5, the container predicts 0"}},
    {"offset_within_the_prediction", {"song.wav", "late4.flac"}, 0, ""},
    // A DC offset above 0.001 of full scale (36 steps, and 5 % less in the
    // copy) in the original and its copy; 29 steps are below it.
    {"dc_offset",
     {"dc36.wav", "dc36_copy.wav"},
     0,
     "",
     "",
     {"song dc36: dc36.wav has a DC offset of 0.0011 of full scale (-59.2 dBFS)",
      "song dc36: dc36_copy.wav has a DC offset of 0.0010 of full scale (-59.7 dBFS)"}},
    {"dc_offset_below_the_warning", {"dc29.wav", "dc29_copy.wav"}, 0, ""},
    {"mono_original", {"mono.wav", "copy.wav"}, 2, "mono.wav: the original has 1 channels"},
    {"lossy_original", {"lossy.m4a", "copy.wav"}, 2, "lossy.m4a: the original is lossy (aac)"},
    {"mono_encoded", {"song.wav", "mono.wav"}, 2, "mono.wav: has 1 channels, not 2"},
    {"missing_input", {"song.wav", "absent.mp3"}, 2, "absent.mp3: no such file"},
    {"unreadable_input", {"song.wav", "text.mp3"}, 2, "text.mp3: ffprobe cannot read it ("},
    {"no_ffmpeg", {"song.wav", "copy.wav"}, 3, "ffprobe: not found on PATH; install it", "none"},
    {"other_music", {"song.wav", "other.wav"}, 4, "other.wav: its score 1."},
    // The headroom named is what the highest peak needs, to 0.1 dB: it
    // passes, and 0.1 dB less does not.
    {"clipping",
     {"loud.wav", "overs.wav"},
     4,
     "(values clamped: overs.wav 71); lower them all alike with --headroom 1.9,"},
    {"clipping_with_headroom",
     {"--headroom", "1.9", "loud.wav", "overs.wav"},
     0,
     "",
     "",
     {"loud.wav has a DC offset of 0.0017", "overs.wav has a DC offset of 0.0023"}},
    {"clipping_just_below", {"--headroom", "1.8", "loud.wav", "overs.wav"}, 4, "--headroom 1.9,"},
    {"clipping_not_in_the_last",
     {"loud.wav", "overs.wav", "loud_lower.wav"},
     4,
     "(values clamped: overs.wav "},
    {"ten_encoded", ten_encoded(), 1, "10 encoded files; at most 9"},
    {"existing_output", {"-o", "taken", "song.wav", "copy.wav"}, 5, "taken: this folder holds other files"},
    {"force_on_another_folder",
     {"--force", "-o", "taken", "song.wav", "copy.wav"},
     5,
     "is not a test folder of abchr-prepare"},
    {"output_is_an_input", {"-o", "copy.wav", "song.wav", "copy.wav"}, 5, "would replace the input copy.wav"},
    {"output_holds_an_input",
     {"--force", "-o", "taken", "song.wav", "taken/stimuli/in.wav"},
     5,
     "would replace the input"},
    {"output_holds_an_input_in_its_served_half",
     {"--force", "-o", "taken", "song.wav", "taken/public/stimuli/in.wav"},
     5,
     "would replace the input"},
    {"unknown_option", {"--fast", "song.wav", "copy.wav"}, 1, "unknown option --fast"},
    {"bad_headroom", {"--headroom", "-3", "song.wav", "copy.wav"}, 1, "--headroom takes decibels"},
};

class prepare_refusals : public ::testing::TestWithParam<refusal_row> {
 protected:
  static void SetUpTestSuite() {
    if (find_on_path("ffmpeg").empty() || find_on_path("ffprobe").empty()) return;
    dir = new temp_dir();
    const std::vector<int16_t> music = music_16(SONG_FRAMES);
    write_file(dir->file("song.wav"), pcm16_wav(music));
    write_file(dir->file("copy.wav"), float_music_wav(music, 1.0));
    write_file(dir->file("other.wav"), float_music_wav(music_16(SONG_FRAMES, 7), 1.0));
    // A song near full scale, and a decode of it with overs of 1.5 at a few
    // places, as lossy decodes of loud masters have: beyond the aligner's
    // 1.58 dB of headroom, and 6 dB lower within it.
    std::vector<int16_t> loud(music.size());
    std::vector<float> overs(music.size());
    for (std::size_t i = 0; i < music.size(); ++i) {
      loud[i] = static_cast<int16_t>(music[i] * 19 / 10);
      overs[i] = i % 5000 == 0 ? 1.5f : static_cast<float>(loud[i] / 32768.0);
    }
    write_file(dir->file("loud.wav"), pcm16_wav(loud));
    write_file(dir->file("overs.wav"), make_wav(float_layout(), float_samples(overs)));
    write_file(dir->file("loud_lower.wav"), float_music_wav(loud, 0.9));
    const std::string ffmpeg = find_on_path("ffmpeg");
    for (const int shift : {4, 5, 7498, 7499, -2500}) {
      std::vector<int16_t> moved(music.size(), 0);
      const std::size_t n = 2 * static_cast<std::size_t>(std::abs(shift));
      if (shift > 0)
        std::copy(music.begin(), music.end() - static_cast<std::ptrdiff_t>(n), moved.begin() + n);
      if (shift < 0) std::copy(music.begin() + static_cast<std::ptrdiff_t>(n), music.end(), moved.begin());
      const std::string name = (shift > 0 ? "late" : "early") + std::to_string(std::abs(shift));
      write_file(dir->file(name + ".wav"), float_music_wav(moved, 1.0));
      if (shift > 0 && shift < 10) {
        run_program(ffmpeg, {"-nostdin", "-v", "error", "-i", dir->file(name + ".wav"), "-c:a", "flac",
                             "-sample_fmt", "s16", dir->file(name + ".flac")});
        std::filesystem::remove(dir->file(name + ".wav"));
      }
    }
    // The synthesised notes all start upwards, which leaves a mean of about
    // 0.0009 of full scale: taken out first.
    double sum = 0;
    for (const int16_t v : music) sum += v;
    const auto own = static_cast<int>(std::lround(sum / static_cast<double>(music.size()) * 9 / 10));
    for (const int dc : {29, 36}) {
      std::vector<int16_t> offset(music.size());
      for (std::size_t i = 0; i < music.size(); ++i)
        offset[i] = static_cast<int16_t>(music[i] * 9 / 10 - own + dc);
      const std::string name = "dc" + std::to_string(dc);
      write_file(dir->file(name + ".wav"), pcm16_wav(offset));
      write_file(dir->file(name + "_copy.wav"), float_music_wav(offset, 0.95));
    }
    std::vector<int16_t> left(music.size() / 2);
    for (std::size_t i = 0; i < left.size(); ++i) left[i] = music[2 * i];
    wav_layout mono;
    mono.bits = 16;
    mono.channels = 1;
    bytes samples;
    for (const int16_t v : left) put_u16(samples, static_cast<uint16_t>(v));
    write_file(dir->file("mono.wav"), make_wav(mono, samples));
    write_file(dir->file("text.mp3"), bytes(5000, 'x'));
    std::filesystem::create_directories(dir->file("taken/stimuli"));
    std::filesystem::create_directories(dir->file("taken/public/stimuli"));
    for (const char* in : {"taken/stimuli/in.wav", "taken/public/stimuli/in.wav"}) {
      write_file(dir->file(in), float_music_wav(music, 1.0));
    }
    std::filesystem::create_directory(dir->file("empty"));
    run_program(ffmpeg, {"-nostdin", "-v", "error", "-i", dir->file("song.wav"), "-c:a", "aac",
                         dir->file("lossy.m4a")});
    // A low-bitrate MP3 at 24 kHz, as lame makes at 64 kbit/s unless told otherwise.
    run_program(ffmpeg, {"-nostdin", "-v", "error", "-i", dir->file("song.wav"), "-ar", "24000", "-c:a",
                         "libmp3lame", "-b:a", "32k", dir->file("low24k.mp3")});
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  static temp_dir* dir;
};
temp_dir* prepare_refusals::dir = nullptr;

TEST_P(prepare_refusals, status_message_and_nothing_written) {
  const refusal_row& row = GetParam();
  if (dir == nullptr) GTEST_SKIP() << "not installed: ffmpeg, ffprobe";
  const std::vector<std::string> before = listing(dir->path);
  const program_run run =
      run_prepare(row.args, dir->path, std::string(row.path) == "none" ? dir->file("empty") : "");
  EXPECT_EQ(run.status, row.status) << run.err;
  EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
  if (row.status != 0) {
    EXPECT_EQ(listing(dir->path), before);
    return;
  }
  const std::string out = dir->file(std::filesystem::path(row.args.end()[-2]).stem().string() + "-abchr");
  const nlohmann::json report = read_report(out);
  EXPECT_EQ(report["stimuli"].back()["clips"], 0);
  EXPECT_EQ(report["headroom_db"], row.args[0] == "--headroom" ? std::stod(row.args[1]) : 0.0);
  ASSERT_EQ(report["warnings"].size(), row.warnings.size()) << report["warnings"];
  for (std::size_t k = 0; k < row.warnings.size(); ++k) {
    EXPECT_NE(report["warnings"][k].get<std::string>().find(row.warnings[k]), std::string::npos)
        << report["warnings"];
  }
  std::filesystem::remove_all(out);
  EXPECT_EQ(listing(dir->path), before);
}

INSTANTIATE_TEST_SUITE_P(rows, prepare_refusals, ::testing::ValuesIn(rows),
                         [](const ::testing::TestParamInfo<refusal_row>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
