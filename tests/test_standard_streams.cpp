// Whole runs whose standard output or standard error the shell points at a
// file of the run: nothing the program writes may land in an input or in a
// stimulus. The redirections are made by the system's own shell (cmd.exe on
// Windows, whose ">" and ">>" give handles that may only write).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "line_ends.h"
#include "program_runner.h"
#include "signal_maker.h"
#include "wav_writer.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr std::size_t FRAMES = 50000;
constexpr long RAW_BYTES = 4 * static_cast<long>(FRAMES);

// The program on o.wav and d32b.wav (and `more`), then `redirection`, through
// the shell; ">&-" closes standard output.
program_run run_redirected(const temp_dir& dir, const std::string& more, const std::string& redirection) {
  const std::string arguments = " o.wav d32b.wav" + more + " " + redirection;
#ifdef _WIN32
  if (redirection == ">&-") return run_program(WAVMATCH2_PATH, {"o.wav", "d32b.wav"}, dir.path, 120, true);
  char system_folder[MAX_PATH];
  const UINT length = GetSystemDirectoryA(system_folder, MAX_PATH);
  const std::string cmd = std::string(system_folder, length) + "\\cmd.exe";
  const std::string program = std::filesystem::absolute(WAVMATCH2_PATH).make_preferred().string();
  return run_program(cmd, {"/c", program + arguments}, dir.path, 120);
#else
  return run_program("/bin/sh", {"-c", "exec " + shell_command(WAVMATCH2_PATH) + arguments}, dir.path, 120);
#endif
}

struct stream_case {
  const char* name;
  std::string more;         // further arguments
  std::string redirection;  // made by the shell
  int status;
  std::string out;  // what reaches a standard output that is still a pipe
  std::string err;
  bool writes_raw;
};

const std::string UNAVAILABLE = "Output path is not available." MESSAGE_END;

TEST(whole_run_streams, never_write_into_an_input_or_a_stimulus) {
  const std::vector<stream_case> cases = {
      {"report to a file of its own", "", "> report.txt", 0, "", "", true},
      {"report over a raw file", "", "> d.raw", 9, "",
       UNAVAILABLE + "wavmatch2: d.raw: is standard output" MESSAGE_END, false},
      {"report after a raw file", "", ">> d.raw", 9, "",
       UNAVAILABLE + "wavmatch2: d.raw: is standard output" MESSAGE_END, false},
      {"report after an input", "", ">> d32b.wav", 9, "",
       UNAVAILABLE + "wavmatch2: d32b.wav: is standard output" MESSAGE_END, false},
      {"messages after an input", " missing.wav", "2>> d32b.wav", 9,
       UNAVAILABLE + "wavmatch2: d32b.wav: is standard error" MESSAGE_END, "", false},
      // Standard output held on the null device: no input and no raw file
      // takes its place, and the lost report is still a failure.
      {"closed standard output", "", ">&-", 9, "", "Cannot write to standard output" MESSAGE_END, true},
#ifndef _WIN32
      // Neither stream safe: the closing message has nowhere to go.
      {"closed standard output, messages after an input", "", ">&- 2>> d32b.wav", 9, "", "", false},
      {"full standard output, messages over an input", "", "> /dev/full 2<> d32b.wav", 9, "", "", false},
#endif
  };
  const stereo o = music(FRAMES, 5);
  for (const stream_case& c : cases) {
    temp_dir dir;
    std::map<std::string, bytes> files = {{"o.wav", as_int_wav(o)},
                                          {"d32b.wav", as_int_wav(codec_copy(o, 0, 1.0, 0))},
                                          {"d.raw", bytes(100, 7)}};
    // A raw file left by an earlier run, where a row appends to it.
    if (c.redirection != ">> d.raw") files.erase("d.raw");
    for (const auto& [name, content] : files) write_file(dir.file(name), content);
    const program_run run = run_redirected(dir, c.more, c.redirection);
    EXPECT_EQ(run.status, c.status) << c.name;
    EXPECT_EQ(run.out, c.out) << c.name;
    EXPECT_EQ(run.err, c.err) << c.name;
    for (const auto& [name, content] : files)
      EXPECT_EQ(read_file(dir.file(name)), content) << c.name << " " << name;
    const long raw_size = c.writes_raw ? RAW_BYTES : 0;
    EXPECT_EQ(static_cast<long>(read_file(dir.file("o.wav.raw")).size()), raw_size) << c.name;
    if (!c.redirection.ends_with(" d.raw")) {
      EXPECT_EQ(static_cast<long>(read_file(dir.file("d.raw")).size()), raw_size) << c.name;
    }
  }
}

}  // namespace
