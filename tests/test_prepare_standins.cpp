// abchr-prepare with stand-in decoders (standin_decoder.cpp) in place of
// ffmpeg and ffprobe: on Windows, where this is its only test (under wine),
// it finds them on PATH as ffmpeg.exe and ffprobe.exe and starts them with
// names that need quoting; everywhere, its stimuli must equal wavmatch2's raw
// files for the same decoded files, and without them it names what to get.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "prepare_runs.h"
#include "temp_dir.h"

namespace {

constexpr std::size_t SONG_FRAMES = 3 * MUSIC_RATE;
constexpr int SHIFT = 300;

TEST(prepare_standins, stimuli_equal_wavmatch2_on_the_same_decodes) {
  temp_dir dir;
  const std::vector<int16_t> music = music_16(SONG_FRAMES);
  write_file(dir.file("my song's take.wav"), pcm16_wav(music));
  write_file(dir.file("copy one.wav"), float_music_wav(music, 0.9));
  // The same music SHIFT frames later.
  std::vector<int16_t> later(SHIFT * 2, 0);
  later.insert(later.end(), music.begin(), music.end() - SHIFT * 2);
  write_file(dir.file("later.wav"), float_music_wav(later, 1.1));

  // Without fades, which wavmatch2 does not make.
  const program_run run =
      run_prepare({"-q", "--fade", "0", "-o", "out dir", "my song's take.wav", "copy one.wav", "later.wav"},
                  dir.path, STANDIN_FOLDER);
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json report = read_report(dir.file("out dir"));
  ASSERT_FALSE(report.is_discarded());
  EXPECT_EQ(report["stimuli"][1]["offset"], SHIFT);
  std::vector<nlohmann::json> stimuli{report["reference"], report["stimuli"][0], report["stimuli"][1]};
  std::vector<std::string> decoded;
  for (std::size_t k = 0; k < stimuli.size(); ++k) {
    EXPECT_EQ(stimuli[k]["decoder"]["version"], "stand-in-1");
    std::vector<std::string> command = stimuli[k]["decoder"]["command"].get<std::vector<std::string>>();
    command.back() = "again" + std::to_string(k) + "32b.wav";
    decoded.push_back(command.back());
    ASSERT_EQ(run_program(command[0], {command.begin() + 1, command.end()}, dir.path).status, 0);
  }
  ASSERT_EQ(run_program(WAVMATCH2_PATH, decoded, dir.path).status, 0);
  for (std::size_t k = 0; k < stimuli.size(); ++k) {
    const wav_contents w = read_wav(dir.file("out dir/public/" + stimuli[k]["wav"].get<std::string>()));
    EXPECT_EQ(w.samples.size(), 4 * report["frames"].get<std::size_t>());
    EXPECT_TRUE(w.samples == read_file(dir.file("again" + std::to_string(k) + ".raw"))) << k;
  }
}

TEST(prepare_standins, without_ffmpeg_names_where_to_get_it) {
  temp_dir dir;
  write_file(dir.file("song.wav"), pcm16_wav(music_16(SONG_FRAMES)));
  write_file(dir.file("take.wav"), pcm16_wav(music_16(SONG_FRAMES, 2)));
  const program_run run = run_prepare({"song.wav", "take.wav"}, dir.path, dir.path);
  EXPECT_EQ(run.status, 3);
#ifdef _WIN32
  EXPECT_NE(
      run.err.find("ffprobe: not found on PATH; get ffmpeg.exe and ffprobe.exe from https://ffmpeg.org/"),
      std::string::npos)
      << run.err;
#else
  EXPECT_NE(run.err.find("ffprobe: not found on PATH; install it (Debian: sudo apt-get install ffmpeg)"),
            std::string::npos)
      << run.err;
#endif
  EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"song.wav", "take.wav"}));
}

}  // namespace
