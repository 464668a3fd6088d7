// The line ends each build writes, in every kind of text the two programs
// produce: LF alone on POSIX systems; on Windows the bytes its users have
// always had, CR CR LF after a message and CR LF after a cleaned line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logsweep_files.h"
#include "program_runner.h"
#include "signal_maker.h"
#include "temp_dir.h"
#include "wav_writer.h"

namespace {

#ifdef _WIN32
constexpr bool WINDOWS = true;
#else
constexpr bool WINDOWS = false;
#endif

enum text_place { STANDARD_OUT, STANDARD_ERR, OUTPUT_FILE };

struct line_end_case {
  const char* name;
  std::string program;
  std::vector<std::string> args;
  text_place place;
  std::string posix;    // the text's first bytes on Linux and every POSIX build
  std::string windows;  // the same on Windows
};

const std::string WAVMATCH2 = WAVMATCH2_PATH;
const std::string LOGSWEEP = LOGSWEEP_PATH;

const std::vector<line_end_case> LINE_END_CASES = {
    {"report",
     WAVMATCH2,
     {"a.wav", "b.wav"},
     STANDARD_OUT,
     "wavmatch v.2.0.0  /  original reference file:a.wav\n                     Offset[sample]",
     "wavmatch v.2.0.0  /  original reference file:a.wav\r\r\n                     Offset[sample]"},
    {"error message",
     WAVMATCH2,
     {"a.wav", "missing.wav"},
     STANDARD_OUT,
     "wavmatch v.2.0.0  /  original reference file:a.wav\nCannot open this file : missing.wav\n",
     "wavmatch v.2.0.0  /  original reference file:a.wav\r\r\nCannot open this file : missing.wav\r\r\n"},
    {"standard error line",
     WAVMATCH2,
     {"a.wav", "missing.wav"},
     STANDARD_ERR,
     "wavmatch2: missing.wav: No such file or directory\n",
     "wavmatch2: missing.wav: No such file or directory\r\r\n"},
    {"logsweep to standard output", LOGSWEEP, {"in.log"}, STANDARD_OUT, "done\n\n", "done\r\n\r\n"},
    {"logsweep into a file", LOGSWEEP, {"in.log", "out.txt"}, OUTPUT_FILE, "done\n\n", "done\r\n\r\n"},
    {"logsweep message",
     LOGSWEEP,
     {"missing.log", "out.txt"},
     STANDARD_OUT,
     "File 'missing.log' not found.\n",
     "File 'missing.log' not found.\r\r\n"},
    {"logsweep standard error line",
     LOGSWEEP,
     {"missing.log"},
     STANDARD_ERR,
     "logsweep: missing.log: No such file or directory\n",
     "logsweep: missing.log: No such file or directory\r\r\n"},
};

// Every line of `text` ends as `line_end` says, with no other CR before an LF.
bool every_line_ends_in(const std::string& text, const std::string& line_end) {
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
    const std::size_t start = at + 1 - line_end.size();
    if (at + 1 < line_end.size() || text.compare(start, line_end.size(), line_end) != 0) return false;
    if (start > 0 && text[start - 1] == '\r') return false;
  }
  return true;
}

TEST(LineEnds, EachSystemWritesItsOwn) {
  temp_dir dir;
  write_file(dir.file("a.wav"), as_int_wav(music(40001)));
  write_file(dir.file("b.wav"), as_int_wav(music(40001)));
  write_bytes(dir.file("in.log"), "10%\r50%\rdone\n");
  for (const line_end_case& c : LINE_END_CASES) {
    const program_run run = run_program(c.program, c.args, dir.path);
    const std::string text = c.place == STANDARD_OUT   ? run.out
                             : c.place == STANDARD_ERR ? run.err
                                                       : read_bytes(dir.file("out.txt"));
    const std::string& expected = WINDOWS ? c.windows : c.posix;
    EXPECT_EQ(text.substr(0, expected.size()), expected) << c.name;
    // And the whole text, to its last line, ends its lines as the row's first.
    const std::string line_end = !WINDOWS                                        ? "\n"
                                 : c.windows.find("\r\r\n") != std::string::npos ? "\r\r\n"
                                                                                 : "\r\n";
    EXPECT_TRUE(every_line_ends_in(text, line_end)) << c.name << ": " << text;
  }
}

}  // namespace
