// abchr-prepare building a listening-test folder song by song: real codecs
// end to end, two runs at once, and one table of refusals and faults that
// must leave the folder as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
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
  // The folder checker's python3, and the front ends' parsers that npm installed.
  return *NODE_MODULES_DIR != '\0' && std::system("python3 -c '' >/dev/null 2>&1") == 0;
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
    GTEST_SKIP() << "needs ffmpeg, lame, oggenc, Node.js and npm";
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
  // The header, the replaced song, two others, each song with MUSHRA's two
  // anchors: the first run made the folder's pages MUSHRA pages.
  EXPECT_EQ(std::count(key.begin(), key.end(), '\n'), 1 + 5 + 6 + 6);
  const auto served_as = [&](const std::string& codec) {
    int found = 0;
    for (const char* name : {"S1", "S2", "S3", "S4"}) {
      const std::string file = std::string(",stimuli/one/") + name + ".wav,";
      found += key.find("\none," + std::string(name) + file + codec) != std::string::npos;
    }
    return found;
  };
  EXPECT_EQ(served_as("one.mp3,mp3,"), 1) << key;
  EXPECT_EQ(served_as("one.wav,anchor-3.5kHz,"), 1) << key;
  EXPECT_EQ(served_as("one.wav,anchor-7kHz,"), 1) << key;
  EXPECT_FALSE(std::filesystem::exists(dir.file("TEST/public/stimuli/one/S5.wav")));
}

TEST(test_folder_program, excerpts_are_the_same_frames_of_the_full_stimuli) {
  if (!have({"ffmpeg", "ffprobe"})) GTEST_SKIP() << "needs ffmpeg, Node.js and npm";
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

// A 48 kHz song of white noise, which fills every band that the anchors'
// spectra are measured in, prepared with MUSHRA pages: the anchors are as
// long as the reference, at lag 0 and 60 dB down above their cut-offs
// (tests/check_anchors.py); every served file has the same time; the rate is
// told once, naming the song, and -q silences it.
TEST(test_folder_program, a_48_khz_song_with_mushra_anchors) {
  if (!have({"ffmpeg", "ffprobe"})) GTEST_SKIP() << "needs ffmpeg, python3-yaml";
  temp_dir dir;
  music_rng rng{48};
  std::vector<float> noise(2 * 48000 * 3);
  for (float& v : noise) v = static_cast<float>(0.4 * (rng.unit() + rng.unit() + rng.unit() - 1.5));
  wav_layout layout = float_layout();
  layout.sample_rate = 48000;
  write_file(dir.file("song.wav"), make_wav(layout, float_samples(noise)));
  for (float& v : noise) v *= 0.8f;
  write_file(dir.file("a.wav"), make_wav(layout, float_samples(noise)));
  const std::vector<std::string> args{"-o", "TEST", "--page", "mushra", "song.wav", "a.wav"};
  const program_run loud = run_prepare(args, dir.path);
  ASSERT_EQ(loud.status, 0) << loud.err;
  // One notice of the rate, the song's own, and none of the aligner's per file.
  EXPECT_NE(loud.err.find("song song is not at 44.1 kHz but at 48000 Hz"), std::string::npos) << loud.err;
  EXPECT_EQ(loud.err.find("44.1"), loud.err.rfind("44.1")) << loud.err;
  const program_run check =
      run_program(SYSTEM_PYTHON3, {TESTS_SOURCE_DIR "/check_anchors.py", "TEST", "song"}, dir.path);
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  std::vector<std::pair<int64_t, int64_t>> times;
  for (const auto& entry : std::filesystem::directory_iterator(dir.file("TEST/public/stimuli/song"))) {
    struct stat info {};
    ASSERT_EQ(stat(entry.path().c_str(), &info), 0);
    times.emplace_back(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
  }
  ASSERT_EQ(times.size(), 4u);
  EXPECT_EQ(std::count(times.begin(), times.end(), times[0]), 4);
  const program_run quiet = run_prepare({"-q", "--force", "-o", "TEST", "song.wav", "a.wav"}, dir.path);
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");
}

namespace {

// What a row leaves: the folder as it was; the row's song in, whole, and the
// folder still open to the next run; or, after a fault, a rerun of the same
// command that finds the folder whole with the song in.
// (song_added: in, with no leftovers and every JSON file readable, where the
// checker cannot read the key: it holds a file name that is not UTF-8 as it is.)
enum class after { unchanged, song_in, song_in_after_rerun, names_kept, song_added };

struct fault_row {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::vector<const char*> messages;  // each a part of standard error
  after then = after::unchanged;
  const char* fault = "";  // "INT", "KILL" or "EIO" at the rename to `fault_at`
  const char* fault_at = "";
  const char* song = "new";
  std::function<void(const std::string& test)> plant = nullptr;  // changes the folder first
  bool fresh = false;                                            // into a folder not made yet
  const char* path = "";                                         // "hang": an ffmpeg that never ends
};

// Hidden names the runs leave behind in the folder: nothing but the lock.
std::vector<std::string> leftovers(const std::string& test) {
  std::vector<std::string> left;
  for (const std::string& name : listing(test)) {
    const std::string leaf = std::filesystem::path(name).filename().string();
    if (leaf.front() == '.' && leaf != ".lock") left.push_back(name);
  }
  return left;
}

// The song's rows of key.csv.
std::string key_rows(const std::string& key, const std::string& song) {
  std::string rows;
  std::size_t start = 0;
  for (std::size_t end; (end = key.find("\r\n", start)) != std::string::npos; start = end + 2) {
    if (key.compare(start, song.size() + 1, song + ",") == 0) rows += key.substr(start, end + 2 - start);
  }
  return rows;
}

}  // namespace

TEST(test_folder_program, two_songs_added_at_once) {
  if (!have({"ffmpeg", "ffprobe"})) GTEST_SKIP() << "needs ffmpeg, Node.js and npm";
  struct row {
    const char* name;
    const char* first;  // the originals, with an encoded file beside each
    const char* second;
    bool same_song;  // then one run adds it and the other is refused
  };
  const std::vector<row> rows = {
      {"two_songs", "left.wav", "right.wav", false},
      {"the_same_name_from_two_folders", "A/01.wav", "B/01.wav", true},
      // key.csv's cells quoted, and guarded against a spreadsheet's formulas.
      {"names_a_spreadsheet_would_run", "=1+2, \"live\".wav", "./-remix.wav", false},
  };
  for (const row& r : rows) {
    temp_dir dir;
    std::vector<std::future<program_run>> runs;
    unsigned seed = 1;
    for (const std::string song : {r.first, r.second}) {
      const std::vector<int16_t> music = music_16(SONG_FRAMES, seed++);
      std::filesystem::create_directories(std::filesystem::path(dir.file(song)).parent_path());
      write_file(dir.file(song), pcm16_wav(music));
      write_file(dir.file(song + ".enc.wav"), float_music_wav(music, 0.8));
    }
    for (const std::string song : {r.first, r.second}) {
      runs.push_back(std::async(std::launch::async, [&dir, song] {
        return run_prepare({"-q", "-o", "TEST", song, song + ".enc.wav"}, dir.path);
      }));
    }
    const program_run one = runs[0].get();
    const program_run two = runs[1].get();
    const std::string key = read_all_text(dir.file("TEST/key.csv"));
    if (r.same_song) {
      EXPECT_EQ(std::min(one.status, two.status), 0) << r.name << one.err << two.err;
      EXPECT_EQ(std::max(one.status, two.status), 5) << r.name << one.err << two.err;
      EXPECT_NE((one.err + two.err).find("holds the song 01 already; pass --force"), std::string::npos)
          << r.name;
      const std::string rows01 = key_rows(key, "01");
      EXPECT_EQ(std::count(rows01.begin(), rows01.end(), '\n'), 2) << key;  // the reference and S1, once
    } else {
      EXPECT_EQ(one.status, 0) << one.err;
      EXPECT_EQ(two.status, 0) << two.err;
      EXPECT_EQ(std::count(key.begin(), key.end(), '\n'), 1 + 2 + 2) << key;  // the header, two songs
    }
    EXPECT_EQ(check_folder(dir.file("TEST")), "") << r.name;
    EXPECT_EQ(leftovers(dir.file("TEST")), std::vector<std::string>{}) << r.name;
  }
}

TEST(test_folder_program, refusals_and_faults_leave_the_folder_whole) {
  if (!have({"ffmpeg", "ffprobe"})) GTEST_SKIP() << "needs ffmpeg, Node.js and npm";
  temp_dir dir;
  const std::vector<int16_t> music = music_16(SONG_FRAMES, 5);
  write_file(dir.file("kept.wav"), pcm16_wav(music));
  write_file(dir.file("new.wav"), pcm16_wav(music));
  write_file(dir.file("AC:DC.wav"), pcm16_wav(music));
  write_file(dir.file("Rock, live.wav"), pcm16_wav(music));
  write_file(dir.file(std::string(246, 'x') + ".wav"), pcm16_wav(music));
  write_file(dir.file("enc.wav"), float_music_wav(music, 0.9));
  write_file(dir.file("enc2.wav"), float_music_wav(music, 0.8));
  write_file(dir.file("lat\xE9n.wav"), float_music_wav(music, 0.85));  // a Latin-1 name from an old rip
  write_file(dir.file("other.wav"), float_music_wav(music_16(SONG_FRAMES, 6), 1.0));
  write_file(dir.file("silent.wav"), float_music_wav(std::vector<int16_t>(music.size(), 0), 1.0));
  // Control bytes in file names: ESC starts a terminal's escape sequence, BEL rings.
  const std::string controls = "\x1b[1m\x07\n";
  write_file(dir.file("enc" + controls + ".wav"), float_music_wav(music, 0.9));
  write_file(dir.file("silent" + controls + ".wav"),
             float_music_wav(std::vector<int16_t>(music.size(), 0), 1.0));
  const std::string ffmpeg = find_on_path("ffmpeg");
  const auto encode = [&](std::vector<std::string> how, const std::string& to) {
    std::vector<std::string> args{"-nostdin", "-v", "error", "-i", dir.file("new.wav")};
    args.insert(args.end(), how.begin(), how.end());
    args.push_back(dir.file(to));
    run_program(ffmpeg, args);
  };
  encode({"-c:a", "flac"}, "new.flac");
  encode({"-c:a", "libmp3lame", "-b:a", "128k"}, "-live.mp3");
  encode({"-c:a", "libopus", "-b:a", "96k"}, "new.webm");
  encode({"-c:a", "libmp3lame", "-b:a", "128k"}, "cut.mp3");
  encode({"-c:a", "mp2", "-b:a", "192k"}, "raw.mp2");
  // A video stream before the audio, as in a music video.
  run_program(ffmpeg, {"-nostdin", "-v", "error", "-f", "lavfi", "-i", "color=c=black:s=16x16:d=4", "-i",
                       dir.file("new.wav"), "-map", "0:v", "-map", "1:a", "-c:v", "mpeg4", "-c:a",
                       "libvorbis", dir.file("video.mkv")});
  std::filesystem::resize_file(dir.file("cut.mp3"), std::filesystem::file_size(dir.file("cut.mp3")) / 4);
  // An ffmpeg that hangs, beside the real ffprobe.
  const std::string hang = dir.file("hang");
  std::filesystem::create_directory(hang);
  std::filesystem::create_symlink(find_on_path("ffprobe"), hang + "/ffprobe");
  std::ofstream(hang + "/ffmpeg") << "#!/bin/sh\nexec /bin/sleep 60\n";
  std::filesystem::permissions(hang + "/ffmpeg", std::filesystem::perms::owner_all);
  ASSERT_EQ(run_prepare({"-q", "-o", "BASE", "--seed", "3", "kept.wav", "enc.wav"}, dir.path).status, 0);
  const std::string base_key = read_all_text(dir.file("BASE/key.csv"));

  // A song has at most nine encoded files, so 13 conditions cannot reach a
  // mushra page from one run: the command line is refused before anything
  // is decoded (the library's own rule is a row of test_folder_tests).
  std::vector<fault_row> rows = {
      {"excerpt_beyond_the_common_length",
       {"--excerpt", "3,1.5", "new.wav", "enc.wav"},
       4,
       {"reaches beyond the song's aligned length"}},
      {"thirteen_conditions_for_a_mushra_page",
       {"--page", "mushra", "new.wav", "enc.wav", "enc.wav", "enc.wav", "enc.wav", "enc.wav", "enc.wav",
        "enc.wav", "enc.wav", "enc.wav", "enc.wav", "enc.wav", "enc.wav", "enc.wav"},
       1,
       {"13 encoded files; at most 9"}},
      {"song_failing_mid_way", {"new.wav", "enc.wav", "other.wav"}, 4, {"other.wav: its score"}},
      {"song_there_already", {"kept.wav", "enc2.wav"}, 5, {"holds the song kept already; pass --force"}},
      {"silent_decode", {"new.wav", "enc.wav", "silent.wav"}, 2, {"silent.wav: decodes to digital silence"}},
      {"file_given_twice", {"new.wav", "enc.wav", "enc.wav"}, 2, {"enc.wav: is the same file as enc.wav"}},
      {"the_original_given_again", {"new.wav", "new.wav"}, 2, {"new.wav: is the original itself"}},
      {"the_original_as_an_encoded_file",
       {"new.wav", "enc.wav", "new.flac"},
       2,
       {"new.flac: decodes to the original's music value for value"}},
      {"truncated_file", {"new.wav", "enc.wav", "cut.mp3"}, 2, {"cut.mp3: decodes to ", "cut short"}},
      {"every_bad_file_named",
       {"new.wav", "silent.wav", "cut.mp3", "new.flac"},
       2,
       {"silent.wav: decodes to digital silence", "cut.mp3: decodes to ",
        "new.flac: decodes to the original's"}},
      {"hanging_decoder",
       {"--timeout", "0.5", "new.wav", "enc.wav"},
       3,
       {"ffmpeg ran longer than 0.5 s", "--timeout"},
       after::unchanged,
       "",
       "",
       "new",
       nullptr,
       false,
       "hang"},
      {"name_too_long",
       {std::string(246, 'x') + ".wav", "enc.wav"},
       2,
       {"the song's name is 246 bytes long"}},
      {"broken_song_record",
       {"new.wav", "enc.wav"},
       5,
       {"songs/x.json: not a song record"},
       after::unchanged,
       "",
       "",
       "new",
       [](const std::string& test) { std::ofstream(test + "/songs/x.json") << "{}"; }},
      {"another_programs_folder_json",
       {"new.wav", "enc.wav"},
       5,
       {"is not a test folder of abchr-prepare"},
       after::unchanged,
       "",
       "",
       "new",
       [](const std::string& test) {
         std::filesystem::create_directory(test);
         std::ofstream(test + "/folder.json") << "{\"name\": \"photos\"}";
       },
       true},
      {"opus_in_webm", {"new.wav", "new.webm"}, 0, {""}, after::song_in},
      {"a_colon_in_the_name", {"AC:DC.wav", "enc.wav"}, 0, {""}, after::song_in, "", "", "AC:DC"},
      {"a_dash_before_the_name", {"new.wav", "--", "-live.mp3"}, 0, {""}, after::song_in},
      {"a_comma_in_the_name", {"Rock, live.wav", "enc.wav"}, 0, {""}, after::song_in, "", "", "Rock, live"},
      {"control_bytes_in_a_refused_name",
       {"new.wav", "enc.wav", "silent" + controls + ".wav"},
       2,
       {"silent\\x1b[1m\\x07\\x0a.wav: decodes to digital silence"}},
      {"control_bytes_in_a_name", {"new.wav", "enc" + controls + ".wav"}, 0, {""}, after::song_in},
      {"a_video_stream_first", {"new.wav", "video.mkv"}, 0, {""}, after::song_in},
      {"raw_mp2_predicts_no_delay", {"new.wav", "raw.mp2"}, 0, {""}, after::song_in},
      {"a_name_that_is_not_utf8", {"new.wav", "lat\xE9n.wav"}, 0, {""}, after::song_added},
      {"force_keeps_the_names", {"--force", "kept.wav", "enc.wav"}, 0, {""}, after::names_kept},
#ifdef RENAME_SHIM_PATH
      {"sigint_while_the_configs_are_rewritten",
       {"new.wav", "enc.wav"},
       128 + SIGINT,
       {""},
       after::song_in,
       "INT",
       "webmushra.yaml"},
      {"sigint_in_the_first_commit",
       {"new.wav", "enc.wav"},
       128 + SIGINT,
       {""},
       after::song_in,
       "INT",
       "webmushra.yaml",
       "new",
       nullptr,
       true},
      {"failed_rename",
       {"new.wav", "enc.wav"},
       5,
       {"key.csv: cannot put in place", "the next abchr-prepare run into this folder completes it"},
       after::song_in_after_rerun,
       "EIO",
       "key.csv"},
      {"sigkill_while_the_old_song_moves_out",
       {"--force", "kept.wav", "enc2.wav"},
       128 + SIGKILL,
       {""},
       after::song_in_after_rerun,
       "KILL",
       "stimuli/kept",
       "kept"},
#endif
  };
#ifdef RENAME_SHIM_PATH
  for (const char* at : {".commit", "stimuli/new", "songs/new.json", "folder.json", "key.csv", "report.json",
                         "webmushra.yaml", "beaqlejs_config.js"}) {
    rows.push_back({"sigkill_before_a_rename",
                    {"new.wav", "enc.wav"},
                    128 + SIGKILL,
                    {""},
                    after::song_in_after_rerun,
                    "KILL",
                    at});
  }
#endif
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const fault_row& r = rows[k];
    const std::string label = std::string(r.name) + " " + r.fault_at;
    const std::string name = "T" + std::to_string(k);
    const std::string test = dir.file(name);
    if (!r.fresh) std::filesystem::copy(dir.file("BASE"), test, std::filesystem::copy_options::recursive);
    if (r.plant) r.plant(test);
    const std::string before = std::filesystem::exists(test) ? folder_snapshot(test) : "";
    std::vector<std::string> args{"-q", "-o", name};
    args.insert(args.end(), r.args.begin(), r.args.end());
    if (*r.fault != '\0') {
#ifdef RENAME_SHIM_PATH
      setenv("LD_PRELOAD", RENAME_SHIM_PATH, 1);
#endif
      setenv("ABCHR_SIGNAL_AT_RENAME", r.fault_at, 1);
      setenv("ABCHR_RENAME_FAULT", r.fault, 1);
    }
    const program_run run = run_prepare(args, dir.path, std::string(r.path) == "hang" ? hang : "");
    unsetenv("LD_PRELOAD");
    unsetenv("ABCHR_SIGNAL_AT_RENAME");
    unsetenv("ABCHR_RENAME_FAULT");
    EXPECT_EQ(run.status, r.status) << label << ": " << run.err;
    for (const char* message : r.messages)
      EXPECT_NE(run.err.find(message), std::string::npos) << label << ": " << run.err;
    const std::string served = "stimuli/" + std::string(r.song) + "/S1.wav";  // as key.csv names it
    switch (r.then) {
      case after::unchanged:
        EXPECT_EQ(before.empty() ? "" : folder_snapshot(test), before) << label;
        break;
      case after::song_in_after_rerun: {
        // Whatever the fault left, the next run finds the folder whole: with
        // the song in already (and refuses to add it again) or without it.
        const program_run rerun = run_prepare(args, dir.path);
        EXPECT_TRUE(rerun.status == 0 || rerun.status == 5) << label << ": " << rerun.err;
        [[fallthrough]];
      }
      case after::song_in:
        EXPECT_EQ(check_folder(test), "") << label;
        EXPECT_NE(read_all_text(test + "/key.csv").find(served), std::string::npos) << label;
        EXPECT_EQ(leftovers(test), std::vector<std::string>{}) << label;
        EXPECT_EQ(read_all_text(test + "/report.txt").find("the container predicts"), std::string::npos)
            << label;
        for (const std::string& report : {test + "/report.txt", test + "/songs/" + r.song + "/report.txt"}) {
          EXPECT_EQ(read_all_text(report).find_first_of("\x1b\x07\r\x7f"), std::string::npos)
              << label << report;
        }
        // Still a test folder that takes the next song.
        EXPECT_EQ(run_prepare({"-q", "-o", name, "--force", "kept.wav", "enc2.wav"}, dir.path).status, 0)
            << label;
        break;
      case after::song_added:
        EXPECT_EQ(leftovers(test), std::vector<std::string>{}) << label;
        for (const char* json : {"/report.json", "/songs/new.json", "/songs/new/report.json"}) {
          EXPECT_FALSE(nlohmann::json::parse(read_all_text(test + json), nullptr, false).is_discarded())
              << label << json;
        }
        break;
      case after::names_kept: {
        const std::string key = read_all_text(test + "/key.csv");
        EXPECT_EQ(key_rows(key, "kept"), key_rows(base_key, "kept")) << label;
        const std::string history = read_all_text(test + "/key-history.csv");
        EXPECT_NE(history.find("Z,kept,S1,stimuli/kept/S1.wav,enc.wav,"), std::string::npos) << history;
        EXPECT_EQ(check_folder(test), "") << label;
        break;
      }
    }
  }
}
