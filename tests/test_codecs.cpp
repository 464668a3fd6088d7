// wavmatch2 end to end against the real codecs: a music-like original is
// encoded and decoded to floats with lame/mpg123, ffmpeg's AAC, oggenc/ffmpeg
// and opusenc/opusdec, as the README's recipe does, and one wavmatch2 run over the original and every decoded
// file must find each codec's known delay and write raw files that agree with
// the original's in time, length and level. A codec whose tools are missing is
// reported skipped under its own name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "codec_music.h"
#include "codec_wav.h"
#include "program_runner.h"
#include "tool_lookup.h"
#include "wav_writer.h"

namespace {

// Six seconds: well past the 40000-frame analysis window plus the largest
// codec delay, short enough for every encoder to take a moment.
constexpr std::size_t ORIGINAL_FRAMES = 6 * MUSIC_RATE;
constexpr int OFFSET_TOLERANCE = 2;
constexpr int CORRELATION_LAGS = 300;
constexpr double LEVEL_TOLERANCE_DB = 0.5;

struct codec_case {
  const char* name;  // test name; the decoded file is <name>32b.wav, its stimulus <name>.raw
  int expected_offset;
  // Commands in order; argv[0] is looked up on PATH, "@x" is file x of the run's folder.
  std::vector<std::vector<std::string>> commands;
  bool decoder_writes_16 = false;  // bring <name>16.wav to <name>32b.wav, losslessly
  bool decoder_writes_float = false;
};

// Names the row in test listings rather than dumping its bytes.
void PrintTo(const codec_case& c, std::ostream* os) { *os << c.name; }

std::vector<codec_case> codec_cases() {
  return {
      // LAME puts 576 frames of encoder delay before the music; mpg123 adds the
      // 529 frames of the decoder's filter bank unless it trims both using the
      // gapless information LAME writes into its header frame.
      {"mp3_no_gapless",
       1105,
       {{"lame", "--quiet", "-b", "128", "@orig16.wav", "@mp3_no_gapless.mp3"},
        {"mpg123", "-q", "--no-gapless", "-e", "f32", "-w", "@mp3_no_gapless32b.wav", "@mp3_no_gapless.mp3"}},
       false,
       true},
      {"mp3_gapless",
       0,
       {{"lame", "--quiet", "-b", "128", "@orig16.wav", "@mp3_gapless.mp3"},
        {"mpg123", "-q", "-e", "f32", "-w", "@mp3_gapless32b.wav", "@mp3_gapless.mp3"}},
       false,
       true},
      // ADTS carries no priming information, so the decoder keeps the encoder's
      // 1024 frames of priming. The float WAV ffmpeg writes is extensible.
      {"aac_adts",
       1024,
       {{"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", "@orig16.wav", "-c:a", "aac", "-b:a", "128k",
         "-f", "adts", "@aac_adts.aac"},
        {"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", "@aac_adts.aac", "-c:a", "pcm_f32le",
         "@aac_adts32b.wav"}},
       false,
       true},
      // An MP4 file's edit list tells the decoder to drop those 1024 frames.
      {"aac_m4a",
       0,
       {{"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", "@orig16.wav", "-c:a", "aac", "-b:a", "128k",
         "@aac_m4a.m4a"},
        {"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", "@aac_m4a.m4a", "-c:a", "pcm_f32le",
         "@aac_m4a32b.wav"}},
       false,
       true},
      // Ogg records the granule position of the first page, so the decoder
      // drops the priming itself. Decoded to floats: oggdec writes 16 bits at
      // most, which rounds what the codec made.
      {"vorbis",
       0,
       {{"oggenc", "-Q", "-q", "4", "-o", "@vorbis.ogg", "@orig16.wav"},
        {"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", "@vorbis.ogg", "-c:a", "pcm_f32le",
         "@vorbis32b.wav"}},
       false,
       true},
      // opusdec skips the pre-skip the header announces and resamples from
      // 48 kHz back to the original's rate; --float spares the soft clipping
      // and dither of its 16-bit output.
      {"opus",
       0,
       {{"opusenc", "--quiet", "--bitrate", "96", "@orig16.wav", "@opus.opus"},
        {"opusdec", "--quiet", "--float", "--rate", "44100", "@opus.opus", "@opus32b.wav"}},
       false,
       true},
  };
}

// One row of the printed table.
struct table_row {
  bool found = false;
  std::string kind;  // "INT" or "FLO"
  int offset = 0;
  double gain = 0;
};

// The table rows by command-line index, and the summary's shortest_sample.
struct parsed_report {
  std::map<int, table_row> rows;
  long shortest_sample = -1;
};

parsed_report parse_report(const std::string& out) {
  parsed_report report;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find("\r\r\n", start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    start = end + 3;
    long n = 0;
    if (std::sscanf(line.c_str(), "shortest_sample  : %ld", &n) == 1) report.shortest_sample = n;
    if (line.size() < 25 || line.compare(21, 3, " O:") != 0 || line[4] < '0' || line[4] > '9') continue;
    table_row row;
    double gain_db = 0;
    double score = 0;
    if (std::sscanf(line.c_str() + 21, " O:%d G:%lf G:%lf S:%lf", &row.offset, &row.gain, &gain_db, &score) !=
        4) {
      continue;
    }
    row.found = true;
    row.kind = line.substr(0, 3);
    report.rows[line[4] - '0'] = row;
  }
  return report;
}

// A raw stimulus as mono values (left plus right).
std::vector<double> raw_mono(const std::string& path) {
  const bytes b = read_file(path);
  std::vector<double> mono(b.size() / 4);
  for (std::size_t i = 0; i < mono.size(); ++i) {
    mono[i] = static_cast<int16_t>(get_u16(b, 4 * i)) +
              static_cast<double>(static_cast<int16_t>(get_u16(b, 4 * i + 2)));
  }
  return mono;
}

// The lag in [-max_lag, max_lag] at which b best matches a: b[i + lag] ~ a[i].
int best_lag(const std::vector<double>& a, const std::vector<double>& b, int max_lag) {
  int best = 0;
  double best_sum = -1e300;
  const long n = static_cast<long>(std::min(a.size(), b.size()));
  for (int lag = -max_lag; lag <= max_lag; ++lag) {
    double sum = 0;
    for (long i = std::max(0L, -static_cast<long>(lag)); i < n && i + lag < n; ++i) {
      sum += a[static_cast<std::size_t>(i)] * b[static_cast<std::size_t>(i + lag)];
    }
    if (sum > best_sum) {
      best_sum = sum;
      best = lag;
    }
  }
  return best;
}

double rms(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x * x;
  return v.empty() ? 0 : std::sqrt(sum / static_cast<double>(v.size()));
}

enum class prepared { skipped, failed, ready };

struct codec_outcome {
  prepared state = prepared::skipped;
  std::string why;  // the missing tools, or what failed
  int index = 0;    // position on wavmatch2's command line
};

// Everything the suite's tests look at, made once: the decoded files of every
// codec whose tools are installed and one wavmatch2 run over all of them.
struct codec_run {
  temp_dir dir;
  std::map<std::string, codec_outcome> outcomes;
  program_run run;
  parsed_report report;
  std::vector<double> original_raw;

  std::string file(const std::string& name) const { return dir.file(name); }

  void prepare(const codec_case& c, std::vector<std::string>& wavmatch_args) {
    codec_outcome& outcome = outcomes[c.name];
    std::vector<std::string> programs;
    for (const auto& command : c.commands) {
      programs.push_back(find_on_path(command[0]));
      if (programs.back().empty() && outcome.why.find(command[0]) == std::string::npos) {
        outcome.why += (outcome.why.empty() ? "" : ", ") + command[0];
      }
    }
    if (!outcome.why.empty()) {
      outcome.why = "not installed: " + outcome.why;
      return;
    }
    for (std::size_t k = 0; k < c.commands.size(); ++k) {
      std::vector<std::string> args;
      for (std::size_t a = 1; a < c.commands[k].size(); ++a) {
        const std::string& arg = c.commands[k][a];
        args.push_back(arg[0] == '@' ? file(arg.substr(1)) : arg);
      }
      const program_run step = run_program(programs[k], args);
      if (step.status != 0) {
        outcome.state = prepared::failed;
        outcome.why =
            c.commands[k][0] + " failed with status " + std::to_string(step.status) + ": " + step.err;
        return;
      }
    }
    const std::string decoded = file(std::string(c.name) + "32b.wav");
    if (c.decoder_writes_16) {
      outcome.why = widen_16_to_32(file(std::string(c.name) + "16.wav"), decoded);
      if (!outcome.why.empty()) {
        outcome.state = prepared::failed;
        return;
      }
    }
    outcome.state = prepared::ready;
    outcome.index = static_cast<int>(wavmatch_args.size());
    wavmatch_args.push_back(decoded);
  }

  codec_run() {
    const std::vector<int16_t> music = music_16(ORIGINAL_FRAMES);
    write_file(file("orig16.wav"), pcm16_wav(music));
    write_file(file("original32b.wav"), pcm32_wav_from_16(music));
    std::vector<std::string> args = {file("original32b.wav")};
    for (const codec_case& c : codec_cases()) prepare(c, args);
    if (args.size() < 2) return;
    run = run_program(WAVMATCH2_PATH, args);
    report = parse_report(run.out);
    original_raw = raw_mono(file("original.raw"));
  }
};

class codec_end_to_end : public ::testing::TestWithParam<codec_case> {
 protected:
  static void SetUpTestSuite() { shared = new codec_run(); }
  static void TearDownTestSuite() {
    delete shared;
    shared = nullptr;
  }
  static codec_run* shared;
};
codec_run* codec_end_to_end::shared = nullptr;

TEST_P(codec_end_to_end, found_at_the_codec_delay_and_written_in_step) {
  const codec_case& c = GetParam();
  const codec_outcome& outcome = shared->outcomes[c.name];
  if (outcome.state == prepared::skipped) GTEST_SKIP() << c.name << ": " << outcome.why;
  ASSERT_EQ(outcome.state, prepared::ready) << outcome.why;

  const codec_run& r = *shared;
  ASSERT_EQ(r.run.status, 0) << r.run.out << r.run.err;
  const auto row = r.report.rows.find(outcome.index);
  ASSERT_NE(row, r.report.rows.end()) << r.run.out;
  EXPECT_NEAR(row->second.offset, c.expected_offset, OFFSET_TOLERANCE) << r.run.out;
  EXPECT_EQ(row->second.kind, c.decoder_writes_float ? "FLO" : "INT");
  if (c.decoder_writes_float) {
    const wav_contents w = read_wav(r.file(std::string(c.name) + "32b.wav"));
    // ffmpeg and opusdec write the extensible header, mpg123 the plain one.
    EXPECT_TRUE(w.format_tag == 3 || (w.format_tag == 0xFFFE && w.subformat == GUID_FLOAT)) << w.format_tag;
    EXPECT_EQ(w.bits, 32);
    EXPECT_EQ(w.channels, 2);
  }

  ASSERT_GT(r.report.shortest_sample, 0) << r.run.out;
  const std::string raw_path = r.file(std::string(c.name) + ".raw");
  const std::vector<double> raw = raw_mono(raw_path);
  EXPECT_EQ(read_file(raw_path).size(), 4 * static_cast<std::size_t>(r.report.shortest_sample));
  EXPECT_EQ(r.original_raw.size(), static_cast<std::size_t>(r.report.shortest_sample));
  EXPECT_EQ(best_lag(r.original_raw, raw, CORRELATION_LAGS), 0);
  EXPECT_NEAR(20 * std::log10(rms(raw) / rms(r.original_raw)), 0.0, LEVEL_TOLERANCE_DB);
}

INSTANTIATE_TEST_SUITE_P(codecs, codec_end_to_end, ::testing::ValuesIn(codec_cases()),
                         [](const ::testing::TestParamInfo<codec_case>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
