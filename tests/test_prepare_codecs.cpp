// abchr-prepare end to end against the real codecs: a synthesised song is
// encoded at the README's settings and at low bitrates, prepared, and every
// stimulus checked against wavmatch2 run on the same decoded files: the
// decoder commands of report.json are run again, and wavmatch2's offsets,
// gains and scores and its raw bytes must be the report's and the WAVs'.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "prepare_runs.h"
#include "temp_dir.h"
#include "tool_lookup.h"

namespace {

constexpr std::size_t SONG_FRAMES = 6 * MUSIC_RATE;
constexpr int OFFSET_TOLERANCE = 2;

struct encoding {
  const char* file;
  std::vector<std::string> command;  // argv[0] on PATH; "@x" is file x of the folder
  int expected_offset;               // as abchr-prepare's decoders leave it
};

struct prepare_case {
  const char* name;
  std::vector<encoding> encodings;
  bool without_opusdec = false;  // a PATH with ffmpeg and ffprobe alone
};

std::vector<std::string> ffmpeg_aac(const char* bitrate, const char* out, bool adts) {
  std::vector<std::string> c{"ffmpeg",    "-nostdin", "-v",  "error", "-y",   "-i",
                             "@song.wav", "-c:a",     "aac", "-b:a",  bitrate};
  if (adts) c.insert(c.end(), {"-f", "adts"});
  c.push_back(out);
  return c;
}

// The offsets are those of the README's table for these routes. At 32 kbit/s
// LAME's first frame is too small for its gapless header, so ffmpeg keeps the
// encoder's and decoder's delay, 576 + 529 frames.
std::vector<prepare_case> prepare_cases() {
  const std::vector<encoding> readme = {
      {"song.mp3", {"lame", "--quiet", "-V2", "@song.wav", "@song.mp3"}, 0},
      {"song.m4a", ffmpeg_aac("128k", "@song.m4a", false), 0},
      {"song.aac", ffmpeg_aac("128k", "@song.aac", true), 1024},
      {"song.ogg", {"oggenc", "-Q", "-q", "4", "-o", "@song.ogg", "@song.wav"}, 0},
      {"song.opus", {"opusenc", "--quiet", "--bitrate", "96", "@song.wav", "@song.opus"}, 0},
  };
  const std::vector<encoding> low = {
      {"low.mp3", {"lame", "--quiet", "-b", "32", "--resample", "44.1", "@song.wav", "@low.mp3"}, 1105},
      {"low.m4a", ffmpeg_aac("32k", "@low.m4a", false), 0},
      {"low.ogg", {"oggenc", "-Q", "-q", "-1", "-o", "@low.ogg", "@song.wav"}, 0},
      {"low.opus", {"opusenc", "--quiet", "--bitrate", "16", "@song.wav", "@low.opus"}, 0},
  };
  return {{"readme_settings", readme},
          {"low_bitrates", low},
          {"opus_through_ffmpeg", {readme.back(), low.back()}, true}};
}

void PrintTo(const prepare_case& c, std::ostream* os) { *os << c.name; }

// wavmatch2's table row of a decoded file: offset, and gain and score as printed.
struct printed_row {
  int offset = 0;
  std::string gain;
  std::string score;
};

std::vector<printed_row> printed_rows(const std::string& out) {
  std::vector<printed_row> rows;
  for (std::size_t at = out.find(" O:"); at != std::string::npos; at = out.find(" O:", at + 1)) {
    printed_row row;
    char gain[32], db[32], score[32];
    if (std::sscanf(out.c_str() + at, " O:%d G:%31s G:%31s S:%31s", &row.offset, gain, db, score) != 4)
      continue;
    row.gain = gain;
    row.score = score;
    rows.push_back(row);
  }
  return rows;
}

std::string printed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

class prepare_codecs : public ::testing::TestWithParam<prepare_case> {};

TEST_P(prepare_codecs, stimuli_equal_wavmatch2_on_the_same_decodes) {
  const prepare_case& c = GetParam();
  temp_dir dir;
  write_file(dir.file("song.wav"), pcm16_wav(music_16(SONG_FRAMES)));
  std::vector<std::string> args{"-q", "--fade", "0", "song.wav"};  // wavmatch2 makes no fades
  for (const encoding& e : c.encodings) {
    const std::string program = find_on_path(e.command[0]);
    if (program.empty()) GTEST_SKIP() << "not installed: " << e.command[0];
    std::vector<std::string> words;
    for (std::size_t k = 1; k < e.command.size(); ++k) {
      words.push_back(e.command[k][0] == '@' ? dir.file(e.command[k].substr(1)) : e.command[k]);
    }
    ASSERT_EQ(run_program(program, words).status, 0) << e.file;
    args.push_back(e.file);
  }
  std::string path;
  if (c.without_opusdec) {
    for (const char* tool : {"ffmpeg", "ffprobe"}) {
      std::filesystem::create_directories(dir.file("bin"));
      std::filesystem::create_symlink(find_on_path(tool), dir.file(std::string("bin/") + tool));
    }
    path = dir.file("bin");
  }
  const program_run run = run_prepare(args, dir.path, path);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");

  const std::string out = dir.file("song-abchr");
  const nlohmann::json report = read_report(out);
  ASSERT_FALSE(report.is_discarded());
  const std::size_t frames = report["frames"].get<std::size_t>();
  std::vector<nlohmann::json> stimuli{report["reference"]};
  for (const nlohmann::json& s : report["stimuli"]) stimuli.push_back(s);
  ASSERT_EQ(stimuli.size(), c.encodings.size() + 1);

  // The recorded commands, run again into files of wavmatch2's naming.
  std::vector<std::string> decoded;
  for (std::size_t k = 0; k < stimuli.size(); ++k) {
    std::vector<std::string> command = stimuli[k]["decoder"]["command"].get<std::vector<std::string>>();
    const bool by_opusdec =
        stimuli[k]["codec"] == "opus" && !c.without_opusdec && !find_on_path("opusdec").empty();
    EXPECT_EQ(stimuli[k]["decoder"]["name"], by_opusdec ? "opusdec" : "ffmpeg");
    command.back() = dir.file("again" + std::to_string(k) + "32b.wav");
    decoded.push_back(command.back());
    ASSERT_EQ(run_program(command[0], {command.begin() + 1, command.end()}, dir.path).status, 0);
  }
  const program_run aligner = run_program(WAVMATCH2_PATH, decoded, dir.path);
  ASSERT_EQ(aligner.status, 0) << aligner.out;
  const std::vector<printed_row> rows = printed_rows(aligner.out);
  ASSERT_EQ(rows.size(), c.encodings.size()) << aligner.out;

  for (std::size_t k = 0; k < stimuli.size(); ++k) {
    SCOPED_TRACE(stimuli[k]["input"].get<std::string>());
    const std::string wav = out + "/public/" + stimuli[k]["wav"].get<std::string>();
    const wav_contents w = read_wav(wav);
    EXPECT_EQ(w.format_tag, 1);
    EXPECT_EQ(w.bits, 16);
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(wav_rate(wav), 44100u);
    EXPECT_EQ(w.samples.size(), 4 * frames);
    EXPECT_TRUE(w.samples == read_file(dir.file("again" + std::to_string(k) + ".raw")));
    EXPECT_EQ(stimuli[k]["clips"], 0);
    if (k == 0) continue;
    const printed_row& row = rows[k - 1];
    EXPECT_EQ(stimuli[k]["offset"], row.offset);
    EXPECT_EQ(printed(stimuli[k]["gain"].get<double>()), row.gain);
    EXPECT_EQ(printed(stimuli[k]["score"].get<double>()), row.score);
    EXPECT_NEAR(row.offset, c.encodings[k - 1].expected_offset, OFFSET_TOLERANCE);
  }
}

INSTANTIATE_TEST_SUITE_P(codecs, prepare_codecs, ::testing::ValuesIn(prepare_cases()),
                         [](const ::testing::TestParamInfo<prepare_case>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
