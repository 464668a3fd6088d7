// abchr-prepare building a listening-test folder song by song: real codecs
// end to end, two runs at once, and one table of refusals and faults that
// must leave the folder as it was.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "excerpt.h"
#include "prepare_runs.h"
#include "temp_dir.h"
#include "test_folder_songs.h"
#include "tool_lookup.h"
#include "wav16.h"

namespace {

constexpr std::size_t SONG_FRAMES = 4 * MUSIC_RATE;

bool have(std::initializer_list<const char*> tools) {
  for (const char* t : tools) {
    if (find_on_path(t).empty()) return false;
  }
  return std::system("python3 -c 'import yaml' >/dev/null 2>&1") == 0;
}

// One song and its encodings with the real codecs, in `dir`.
void encode_song(const temp_dir& dir, const std::string& name, unsigned seed) {
  write_file(dir.file(name + ".wav"), pcm16_wav(music_16(SONG_FRAMES, seed)));
  const std::string wav = dir.file(name + ".wav");
  run_program(find_on_path("lame"), {"--quiet", "-V5", wav, dir.file(name + ".mp3")});
  run_program(find_on_path("oggenc"), {"-Q", "-q", "2", "-o", dir.file(name + ".ogg"), wav});
  run_program(find_on_path("ffmpeg"),
              {"-nostdin", "-v", "error", "-i", wav, "-c:a", "aac", "-b:a", "96k", dir.file(name + ".m4a")});
}

std::string read_all_text(const std::string& path) {
  const bytes b = read_file(path);
  return std::string(b.begin(), b.end());
}

std::vector<int16_t> served(const std::string& path) {
  wav16_info info;
  std::vector<int16_t> samples;
  if (!read_wav16_info(path, info) || !read_wav16_frames(path, info, 0, info.frames, samples)) return {};
  return samples;
}

}  // namespace

TEST(test_folder_program, three_songs_with_real_codecs_then_one_replaced) {
  if (!have({"ffmpeg", "ffprobe", "lame", "oggenc"}))
    GTEST_SKIP() << "needs ffmpeg, lame, oggenc, python3-yaml";
  temp_dir dir;
  const std::vector<std::string> songs = {"one", "two", "Beyonc\xC3\xA9: \"live\" #3"};
  for (std::size_t k = 0; k < songs.size(); ++k) encode_song(dir, songs[k], static_cast<unsigned>(k + 1));
  const auto args = [&](const std::string& song, std::vector<std::string> options) {
    for (const char* ext : {".wav", ".mp3", ".ogg", ".m4a"}) options.push_back(song + ext);
    return options;
  };
  const std::vector<std::vector<std::string>> runs = {
      args(songs[0], {"-q", "-o", "TEST", "--page", "mushra", "--seed", "1"}),
      args(songs[1], {"-q", "-o", "TEST", "--excerpt", "1,2"}),
      args(songs[2], {"-q", "-o", "TEST", "--path-prefix", "tests/first"}),
      {"-q", "-o", "TEST", "--force", "one.wav", "one.ogg", "one.mp3"},
  };
  for (const auto& run_args : runs) {
    const program_run run = run_prepare(run_args, dir.path);
    ASSERT_EQ(run.status, 0) << run.err;
  }
  std::vector<std::string> hidden = {"mp3", "vorbis", "aac"};
  for (const std::string& s : songs) {
    for (const char* ext : {".mp3", ".ogg", ".m4a"}) hidden.push_back(s + ext);
  }
  EXPECT_EQ(check_folder(dir.file("TEST"), hidden), "");
  const std::string key = read_all_text(dir.file("TEST/key.csv"));
  EXPECT_EQ(std::count(key.begin(), key.end(), '\n'),
            1 + 3 + 4 + 4);  // header, the replaced song, two others
  // The replacing run draws a fresh seed: either name may stand for the MP3.
  EXPECT_TRUE(key.find("\none,S1,stimuli/one/S1.wav,one.mp3,mp3,") != std::string::npos ||
              key.find("\none,S2,stimuli/one/S2.wav,one.mp3,mp3,") != std::string::npos)
      << key;
  EXPECT_FALSE(std::filesystem::exists(dir.file("TEST/public/stimuli/one/S3.wav")));
}

TEST(test_folder_program, excerpts_are_the_same_frames_of_the_full_stimuli) {
  if (!have({"ffmpeg", "ffprobe"})) GTEST_SKIP() << "needs ffmpeg, python3-yaml";
  temp_dir dir;
  const std::vector<int16_t> music = music_16(SONG_FRAMES, 4);
  write_file(dir.file("song.wav"), pcm16_wav(music));
  write_file(dir.file("a.wav"), float_music_wav(music, 0.9));
  write_file(dir.file("b.wav"), float_music_wav(music, 1.1));
  for (const char* test : {"FULL", "CUT"}) {
    std::vector<std::string> args{"-q", "--seed", "9", "-o", test, "song.wav", "a.wav", "b.wav"};
    if (std::string(test) == "CUT") args.insert(args.begin(), {"--excerpt", "1.5,2"});
    const program_run run = run_prepare(args, dir.path);
    ASSERT_EQ(run.status, 0) << run.err;
  }
  const int64_t start = MUSIC_RATE * 3 / 2;
  const int64_t frames = 2 * MUSIC_RATE;
  const int64_t fade = MUSIC_RATE / 50;  // 20 ms, the default with an excerpt
  for (const char* name : {"reference", "S1", "S2"}) {
    const std::vector<int16_t> full =
        served(dir.file(std::string("FULL/public/stimuli/song/") + name + ".wav"));
    const std::vector<int16_t> cut =
        served(dir.file(std::string("CUT/public/stimuli/song/") + name + ".wav"));
    ASSERT_EQ(cut.size(), static_cast<std::size_t>(frames * 2)) << name;
    int differing = 0;
    for (int64_t f = 0; f < frames; ++f) {
      const int64_t ramp = std::min(f, frames - 1 - f);
      for (int c = 0; c < 2; ++c) {
        const int16_t source = full[static_cast<std::size_t>((start + f) * 2 + c)];
        differing += cut[static_cast<std::size_t>(f * 2 + c)] !=
                     (ramp < fade ? faded_sample(source, ramp, fade) : source);
      }
    }
    EXPECT_EQ(differing, 0) << name;
    EXPECT_EQ(cut.front(), 0) << name;
    EXPECT_EQ(cut.back(), 0) << name;
  }
}

TEST(test_folder_program, two_songs_added_at_once) {
  if (!have({"ffmpeg", "ffprobe"})) GTEST_SKIP() << "needs ffmpeg, python3-yaml";
  temp_dir dir;
  for (const char* song : {"left", "right"}) {
    const std::vector<int16_t> music = music_16(SONG_FRAMES, song[0]);
    write_file(dir.file(std::string(song) + ".wav"), pcm16_wav(music));
    write_file(dir.file(std::string(song) + "_enc.wav"), float_music_wav(music, 0.8));
  }
  std::vector<pid_t> children;
  for (const char* song : {"left", "right"}) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir.path.c_str()) != 0) _exit(127);
      exec_program(ABCHR_PREPARE_PATH,
                   {"-q", "-o", "TEST", std::string(song) + ".wav", std::string(song) + "_enc.wav"});
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string key = read_all_text(dir.file("TEST/key.csv"));
  EXPECT_NE(key.find("left,S1,"), std::string::npos) << key;
  EXPECT_NE(key.find("right,S1,"), std::string::npos) << key;
  EXPECT_EQ(check_folder(dir.file("TEST")), "");
}

TEST(test_folder_program, refusals_and_faults_leave_the_folder_as_it_was) {
  if (!have({"ffmpeg", "ffprobe"})) GTEST_SKIP() << "needs ffmpeg, python3-yaml";
  temp_dir dir;
  const std::vector<int16_t> music = music_16(SONG_FRAMES, 5);
  write_file(dir.file("kept.wav"), pcm16_wav(music));
  write_file(dir.file("new.wav"), pcm16_wav(music));
  write_file(dir.file("enc.wav"), float_music_wav(music, 0.9));
  write_file(dir.file("other.wav"), float_music_wav(music_16(SONG_FRAMES, 6), 1.0));
  ASSERT_EQ(run_prepare({"-q", "-o", "TEST", "kept.wav", "enc.wav"}, dir.path).status, 0);
  struct row {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* message;
    const char* signal_at = "";  // the rename that SIGINT comes before
  };
  // A song has at most nine encoded files, so 13 conditions cannot reach a
  // mushra page from one run: the command line is refused before anything
  // is decoded (the library's own rule is a row of test_folder_tests).
  const std::vector<row> rows = {
      {"excerpt_beyond_the_common_length",
       {"--excerpt", "3,1.5", "new.wav", "enc.wav"},
       4,
       "reaches beyond the song's aligned length"},
      {"thirteen_conditions_for_a_mushra_page",
       {"--page", "mushra", "new.wav", "enc.wav", "enc.wav", "enc.wav", "enc.wav", "enc.wav", "enc.wav",
        "enc.wav", "enc.wav", "enc.wav", "enc.wav", "enc.wav", "enc.wav", "enc.wav"},
       1,
       "13 encoded files; at most 9"},
      {"song_failing_mid_way", {"new.wav", "enc.wav", "other.wav"}, 4, "other.wav: its score"},
      {"song_there_already", {"kept.wav", "enc.wav"}, 5, "holds the song kept already; pass --force"},
#ifdef RENAME_SHIM_PATH
      {"sigint_while_the_configs_are_rewritten", {"new.wav", "enc.wav"}, 128 + SIGINT, "", "webmushra.yaml"},
#endif
  };
  for (const row& r : rows) {
    const std::string before = folder_snapshot(dir.file("TEST"));
    std::vector<std::string> args{"-q", "-o", "TEST"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    if (*r.signal_at != '\0') {
#ifdef RENAME_SHIM_PATH
      setenv("LD_PRELOAD", RENAME_SHIM_PATH, 1);
#endif
      setenv("ABCHR_SIGNAL_AT_RENAME", r.signal_at, 1);
    }
    const program_run run = run_prepare(args, dir.path);
    unsetenv("LD_PRELOAD");
    unsetenv("ABCHR_SIGNAL_AT_RENAME");
    EXPECT_EQ(run.status, r.status) << r.name << ": " << run.err;
    EXPECT_NE(run.err.find(r.message), std::string::npos) << r.name << ": " << run.err;
    if (*r.signal_at == '\0') {
      EXPECT_EQ(folder_snapshot(dir.file("TEST")), before) << r.name;
      continue;
    }
    // The signal waited until the change was whole: the new song is in,
    // every config complete and consistent, no temporary file left.
    EXPECT_EQ(check_folder(dir.file("TEST")), "") << r.name;
    EXPECT_NE(read_all_text(dir.file("TEST/public/webmushra.yaml")).find("stimuli/new/S1.wav"),
              std::string::npos);
    for (const auto& e : std::filesystem::directory_iterator(dir.file("TEST"))) {
      const std::string leaf = e.path().filename().string();
      EXPECT_TRUE(leaf == ".lock" || leaf.front() != '.') << "left behind: " << leaf;
    }
  }
}
