// Both programs under a preloaded library that acts at one exact call: a name
// turned into a symbolic link just as it is opened, a signal just after an
// open or during the handler of another, an allocation refused. Each row is a
// race or a failure that a determined user could meet by chance, made to
// happen every time. No byte may reach an input, and no output may be left
// emptied or cut short under its name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "logsweep_files.h"
#include "program_runner.h"
#include "signal_maker.h"
#include "wav_writer.h"

namespace {

struct file_after {
  const char* name;
  std::optional<std::string> contents;  // none: the file must not exist
};

// A folder of inputs for both programs: o.wav with its decoded copy d32b.wav,
// and in.log. Every row leaves them as they were.
struct inputs_folder {
  temp_dir dir;
  const std::string log = "10%\r20%\ndone\n";
  bytes original, decoded;
  inputs_folder() {
    const stereo o = music(50000, 5);
    original = as_int_wav(o);
    decoded = as_int_wav(codec_copy(o, 120, 0.9, 0.001));
    write_file(dir.file("o.wav"), original);
    write_file(dir.file("d32b.wav"), decoded);
    write_bytes(dir.file("in.log"), log);
  }
  // `command` through the shell, WAVMATCH2 and LOGSWEEP standing for the programs.
  program_run run(std::string command) const {
    for (const auto& [word, program] :
         {std::pair{"WAVMATCH2", WAVMATCH2_PATH}, {"LOGSWEEP", LOGSWEEP_PATH}}) {
      for (std::size_t at; (at = command.find(word)) != std::string::npos;) {
        command.replace(at, std::string(word).size(), shell_command(program));
      }
    }
    return run_program("/bin/sh", {"-c", command}, dir.path, 120);
  }
  void expect_inputs_kept(const std::string& what) const {
    EXPECT_TRUE(read_file(dir.file("o.wav")) == original) << what;
    EXPECT_TRUE(read_file(dir.file("d32b.wav")) == decoded) << what;
    EXPECT_EQ(read_bytes(dir.file("in.log")), log) << what;
  }
  void expect_files(const std::vector<file_after>& files, const std::string& what) const {
    for (const file_after& f : files) {
      const bool exists = access(dir.file(f.name).c_str(), F_OK) == 0;
      EXPECT_EQ(exists, f.contents.has_value()) << what << ": " << f.name;
      if (exists && f.contents) {
        EXPECT_EQ(read_bytes(dir.file(f.name)), *f.contents) << what << ": " << f.name;
      }
    }
  }
};

struct race_case {
  const char* name;
  std::string command;
  std::vector<int> statuses;  // any of them; 128 + n: ended by signal n
  std::vector<file_after> files;
  bool report_alone = false;  // report.txt holds the report and nothing else
};

TEST(preloaded_faults, races_made_to_happen_every_time) {
  const std::string shim = "export LD_PRELOAD=" RACE_SHIM_PATH " && ";
  const std::vector<race_case> cases = {
      // The output's name becomes a link to the input between the check and the open.
      {"logsweep: output linked to the input at its open",
       shim + "export RACE_LINK_AT_OPEN=out.log:in.log && LOGSWEEP in.log out.log",
       {2},
       {}},
      // A raw path becomes a link to the report file between the checks and the open.
      {"wavmatch2: raw file linked to the report at its open",
       shim + "export RACE_LINK_AT_OPEN=d.raw:report.txt && WAVMATCH2 o.wav d32b.wav > report.txt",
       {9},
       {{"o.wav.raw", std::nullopt}},
       true},
      // SIGTERM while the SIGINT handler is removing the raw files.
      {"wavmatch2: a second signal during the handler",
       shim + "export RACE_SIGNALS_AT_TRUNCATE=2:15 && WAVMATCH2 o.wav d32b.wav",
       {128 + 2, 128 + 15},
       {{"o.wav.raw", std::nullopt}, {"d.raw", std::nullopt}}},
      // A signal as soon as the output is open, before a byte of it is written.
      {"logsweep: a signal at the open of an existing output",
       "echo old > out.log && " + shim +
           "export RACE_SIGNAL_AFTER_OPEN=out.log:15 && LOGSWEEP in.log out.log",
       {128 + 15},
       {{"out.log", "old\n"}}},
      {"logsweep: a signal at the open of a new output",
       shim + "export RACE_SIGNAL_AFTER_OPEN=out.log:15 && LOGSWEEP in.log out.log",
       {128 + 15},
       {{"out.log", std::nullopt}}},
  };
  for (const race_case& c : cases) {
    inputs_folder folder;
    const program_run run = folder.run(c.command);
    EXPECT_NE(std::find(c.statuses.begin(), c.statuses.end(), run.status), c.statuses.end())
        << c.name << ": status " << run.status << "\n"
        << run.err;
    folder.expect_inputs_kept(c.name);
    folder.expect_files(c.files, c.name);
    if (c.report_alone) {
      const std::string report = read_bytes(folder.dir.file("report.txt"));
      EXPECT_TRUE(report.starts_with("wavmatch v.2.0.0") && report.size() < 4096) << c.name;
    }
  }
}

struct allocation_case {
  const char* name;
  std::string command;
  std::vector<int> statuses;
  std::vector<std::optional<std::string>> outputs;  // what out.log may hold afterwards; none: absent
};

// Each allocation refused in turn, from the first of the process to the last,
// with a standard stream on an input: whatever the status, and whatever
// message memory running out would give, no byte reaches the input, no
// process ends on a signal, and an output file is complete, untouched or gone.
TEST(preloaded_faults, every_refused_allocation_with_a_stream_on_an_input) {
  const std::vector<allocation_case> cases = {
      {"wavmatch2, standard output over an input", "WAVMATCH2 o.wav d32b.wav 1<> d32b.wav", {9, 10}, {}},
      {"wavmatch2, standard error after an input", "WAVMATCH2 o.wav d32b.wav 2>> d32b.wav", {9, 10}, {}},
      {"logsweep, standard error after its input",
       "echo old > out.log && LOGSWEEP in.log out.log 2>> in.log",
       {0, 3},
       {"old\n", std::nullopt}},
      {"logsweep, standard output over its input", "LOGSWEEP in.log 1<> in.log", {2, 3}, {}},
  };
  const std::string preload = "export LD_PRELOAD=" ALLOCATION_SHIM_PATH " && ";
  for (const allocation_case& c : cases) {
    inputs_folder folder;
    const std::string count_file = folder.dir.file("allocations");
    const program_run counted =
        folder.run(preload + "export ALLOCATION_COUNT_FILE=" + count_file + " && " + c.command);
    ASSERT_NE(std::find(c.statuses.begin(), c.statuses.end(), counted.status), c.statuses.end()) << c.name;
    const long allocations = std::stol(read_bytes(count_file));
    ASSERT_GT(allocations, 0) << c.name;
    std::vector<std::optional<std::string>> outputs = c.outputs;
    if (counted.status == 0) outputs.push_back(read_bytes(folder.dir.file("out.log")));
    for (long n = 1; n <= allocations; ++n) {
      const std::string what = std::string(c.name) + ", allocation " + std::to_string(n);
      unlink(folder.dir.file("out.log").c_str());
      const program_run run =
          folder.run(preload + "export FAIL_ALLOCATION=" + std::to_string(n) + " && " + c.command);
      EXPECT_NE(std::find(c.statuses.begin(), c.statuses.end(), run.status), c.statuses.end())
          << what << ": status " << run.status;
      folder.expect_inputs_kept(what);
      if (c.outputs.empty()) continue;
      const bool exists = access(folder.dir.file("out.log").c_str(), F_OK) == 0;
      const std::optional<std::string> out =
          exists ? std::optional<std::string>(read_bytes(folder.dir.file("out.log"))) : std::nullopt;
      EXPECT_NE(std::find(outputs.begin(), outputs.end(), out), outputs.end()) << what << ": out.log";
    }
  }
}

}  // namespace
