// wavmatch2 on hostile inputs: every malformed file of the header tests, and a
// valid file cut at every byte of its header and first frames, as the original
// and as a decoded file. The program must always end, with one of its statuses
// and that status's message, and nothing on standard error (where the
// sanitizers of the checking build report).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "malformed_wavs.h"
#include "program_runner.h"
#include "signal_maker.h"
#include "wav_writer.h"

namespace {

// The last line of a run that ends with each status holds one of these.
const std::map<int, std::vector<std::string>> CLOSING_MESSAGES = {
    {0, {"initial_offset   : "}},
    {2, {"Cannot "}},
    {3, {"Not a valid RIFF WAV File", "Chunks too much."}},
    {4, {"This is not a linear(integer) or float PCM."}},
    {5, {"This is not a stereo file."}},
    {6, {"This is probably a "}},
    {7, {"There are no data chunk."}},
    {8, {"INPUT FILES TOO SHORT."}},
    {9, {"Output path is not available."}},
};

void expect_orderly_end(const program_run& run, const std::string& what) {
  EXPECT_GE(run.status, 0) << what;
  EXPECT_LE(run.status, 10) << what;
  EXPECT_EQ(run.err, "") << what;
  const std::size_t last_line = run.out.rfind("\r\r\n", run.out.size() - 4);
  const std::string tail = run.out.substr(last_line == std::string::npos ? 0 : last_line);
  const auto known = CLOSING_MESSAGES.find(run.status);
  ASSERT_NE(known, CLOSING_MESSAGES.end()) << what << ": status " << run.status;
  const std::vector<std::string>& endings = known->second;
  EXPECT_TRUE(std::any_of(endings.begin(), endings.end(),
                          [&](const std::string& ending) { return tail.find(ending) != std::string::npos; }))
      << what << "\n"
      << run.out;
}

TEST(hostile_inputs, malformed_headers_end_orderly) {
  temp_dir dir;
  write_file(dir.file("good.wav"), as_int_wav(music(41000)));
  for (const malformed::header_case& c : malformed::header_cases()) {
    write_file(dir.file("bad.wav"), malformed::file_of(c));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"bad.wav", "good.wav"}, std::vector<std::string>{"good.wav", "bad.wav"}}) {
      const program_run run = run_program(WAVMATCH2_PATH, args, dir.path, 120);
      expect_orderly_end(run, std::string(c.name) + " as " + args[0]);
      // Accepted headers of these small files are all too short to align.
      EXPECT_EQ(run.status, c.status == 0 ? 8 : c.status) << c.name;
    }
  }
}

TEST(hostile_inputs, cut_at_every_byte_of_header_and_first_frames) {
  temp_dir dir;
  wav_layout layout;
  layout.before_fmt = {extra_chunk{"LIST", 9}};
  layout.after_fmt = {extra_chunk{"fact", 4}};
  const bytes audio = as_int_wav(music(41000));
  const bytes whole = make_wav(layout, bytes(audio.begin() + 44, audio.end()));
  write_file(dir.file("good.wav"), whole);
  const std::size_t header = whole.size() - 41000 * 8;
  for (std::size_t cut = 0; cut < header + 64; ++cut) {
    write_file(dir.file("cut.wav"), bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"cut.wav", "good.wav"}, std::vector<std::string>{"good.wav", "cut.wav"}}) {
      const program_run run = run_program(WAVMATCH2_PATH, args, dir.path, 120);
      expect_orderly_end(run, "cut at " + std::to_string(cut) + " as " + args[0]);
      EXPECT_NE(run.status, 0) << "cut at " << cut;
    }
  }
}

}  // namespace
