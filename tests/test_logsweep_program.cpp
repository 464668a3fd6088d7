// The built logsweep program: cleaned logs to standard output and to a file,
// the usage text, and each failure with its message and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "logsweep_files.h"
#include "program_runner.h"

namespace {

using namespace std::string_literals;

const std::string LOGSWEEP = LOGSWEEP_PATH;

struct cleaning_case {
  const char* name;
  std::string log;
  std::string cleaned;  // the exact bytes written, every line ended by CR LF
};

const std::vector<cleaning_case> CLEANING_CASES = {
    {"empty log gives one empty line", "", "\r\n"},
    {"final line feed gives an extra empty line", "one\ntwo\n", "one\r\ntwo\r\n\r\n"},
    {"last line without line feed gets one", "one\ntwo", "one\r\ntwo\r\n"},
    {"carriage return does not clear the line", "abc\rX\n", "Xbc\r\n\r\n"},
    {"shorter percentage leaves a stale sign", "100%\r50%\n", "50%%\r\n\r\n"},
    {"CR LF lines pass unchanged", "one\r\ntwo\r\n", "one\r\ntwo\r\n\r\n"},
    {"line ending in CR keeps its text", "kept\r", "kept\r\n"},
    {"encoder progress keeps its last state",
     "Encoding track 1\n  0% processing\r 50% processing\r100% processing\nDone\n",
     "Encoding track 1\r\n100% processing\r\nDone\r\n\r\n"},
    {"zero bytes are kept", "a\0b\rX\n"s, "X\0b\r\n\r\n"s},
    {"UTF-8 characters are overwritten whole", "\xC3\xA9t\xC3\xA9\rX\n", "Xt\xC3\xA9\r\n\r\n"},
    {"line longer than 4095 bytes is whole", std::string(9000, 'p') + "\rq",
     "q" + std::string(8999, 'p') + "\r\n"},
    {"lines across many read blocks", std::string(200000, 'z') + "\n" + std::string(100000, 'y') + "\r!",
     std::string(200000, 'z') + "\r\n!" + std::string(99999, 'y') + "\r\n"},
};

TEST(LogsweepProgram, CleansLogsToStandardOutputAndToFile) {
  temp_dir folder;
  for (const cleaning_case& c : CLEANING_CASES) {
    const std::string input = folder.file("input.log");
    const std::string output = folder.file("output.txt");
    write_bytes(input, c.log);

    const program_run to_console = run_program(LOGSWEEP, {input});
    EXPECT_EQ(to_console.status, 0) << c.name;
    EXPECT_EQ(to_console.out, c.cleaned) << c.name;
    EXPECT_EQ(to_console.err, "") << c.name;

    write_bytes(output, "old contents to be replaced, longer than any cleaned log here");
    const program_run to_file = run_program(LOGSWEEP, {input, output});
    EXPECT_EQ(to_file.status, 0) << c.name;
    EXPECT_EQ(to_file.out, "") << c.name;
    EXPECT_EQ(read_bytes(output), c.cleaned) << c.name;
  }
}

TEST(LogsweepProgram, ArgumentsAfterTheOutputAreIgnored) {
  temp_dir folder;
  write_bytes(folder.file("in.log"), "10%\r20%\n");
  const program_run run = run_program(LOGSWEEP, {"in.log", "out.txt", "extra", "more"}, folder.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(read_bytes(folder.file("out.txt")), "20%\r\n\r\n");
  EXPECT_FALSE(std::filesystem::exists(folder.file("extra")));
}

TEST(LogsweepProgram, UsageWithoutArguments) {
  const program_run run = run_program(LOGSWEEP, {});
  EXPECT_EQ(run.status, 0);
  // The message lines carry their own CR; text mode adds one before each LF.
  EXPECT_EQ(run.out,
            "Logsweep v1.0\r\r\n"
            "  Intended to delete progress text in a log file.\r\r\n"
            "   Delete annoying repeat of 0% processing.....CR\r\r\n"
            "    https://abchr-tools.example.org/\r\r\n"
            "Usage: logsweep input_text_path [output_text_path]\r\r\n");
  EXPECT_EQ(run.err, "");
}

struct failure_case {
  const char* name;
  std::vector<std::string> args;  // relative to the scratch folder, which holds in.log and sub/
  int status;
  std::string out;
};

const std::string LONG_NAME = std::string(5000, 'n') + ".log";

const std::vector<failure_case> FAILURE_CASES = {
    {"missing input", {"missing.log"}, 1, "File 'missing.log' not found.\r\r\n"},
    {"missing input is reported before the output is looked at", {"missing.log", "sub/no/out.txt"}, 1,
     "File 'missing.log' not found.\r\r\n"},
    {"input is a folder", {"sub"}, 1, "File 'sub' not found.\r\r\n"},
    {"input path longer than 4095 bytes is named whole", {LONG_NAME}, 1, "File '" + LONG_NAME + "' not found.\r\r\n"},
    {"output in a missing folder", {"in.log", "sub/no/out.txt"}, 2, "Cannot write to sub/no/out.txt\r\r\n"},
    {"output is a folder", {"in.log", "sub"}, 2, "Cannot write to sub\r\r\n"},
    {"output is the input", {"in.log", "in.log"}, 2, "Cannot write to in.log\r\r\n"},
    {"output is the input by another path", {"in.log", "sub/../in.log"}, 2, "Cannot write to sub/../in.log\r\r\n"},
    {"output is a hard link to the input", {"in.log", "link.log"}, 2, "Cannot write to link.log\r\r\n"},
    {"output device is full", {"in.log", "/dev/full"}, 2, "Cannot write to /dev/full\r\r\n"},
};

TEST(LogsweepProgram, FailuresGiveTheirMessageAndStatus) {
  for (const failure_case& c : FAILURE_CASES) {
    temp_dir folder;
    const std::string log = "left as it was\r\n";
    write_bytes(folder.file("in.log"), log);
    std::filesystem::create_directory(folder.file("sub"));
    std::filesystem::create_hard_link(folder.file("in.log"), folder.file("link.log"));

    const program_run run = run_program(LOGSWEEP, c.args, folder.path);
    EXPECT_EQ(run.status, c.status) << c.name;
    EXPECT_EQ(run.out, c.out) << c.name;
    EXPECT_EQ(run.err, "") << c.name;
    EXPECT_EQ(read_bytes(folder.file("in.log")), log) << c.name;
  }
}

// Reading this process's own memory at offset 0 fails with an I/O error.
const std::string UNREADABLE = "/proc/self/mem";

TEST(LogsweepProgram, ReadErrorEmitsThePendingLineAndFails) {
  const program_run to_console = run_program(LOGSWEEP, {UNREADABLE});
  EXPECT_EQ(to_console.status, 1);
  EXPECT_EQ(to_console.out, "\r\n");
  EXPECT_EQ(to_console.err, "Cannot read /proc/self/mem\r\r\n");

  temp_dir folder;
  const program_run to_file = run_program(LOGSWEEP, {UNREADABLE, folder.file("out.txt")});
  EXPECT_EQ(to_file.status, 1);
  EXPECT_EQ(to_file.out, "Cannot read /proc/self/mem\r\r\n");
  EXPECT_EQ(to_file.err, "");
  EXPECT_EQ(read_bytes(folder.file("out.txt")), "\r\n");
}

TEST(LogsweepProgram, FullStandardOutputIsAWriteError) {
  temp_dir folder;
  write_bytes(folder.file("in.log"), "some text\n");
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  const program_run cleaning = run_program(LOGSWEEP, {folder.file("in.log")}, "", 300, full);
  EXPECT_EQ(cleaning.status, 2);
  EXPECT_EQ(cleaning.err, "Cannot write to standard output\r\r\n");
  const program_run usage = run_program(LOGSWEEP, {}, "", 300, full);
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.err, "Cannot write to standard output\r\r\n");
  close(full);
}

TEST(LogsweepProgram, ClosedPipeEndsQuietly) {
  temp_dir folder;
  write_bytes(folder.file("in.log"), "line\n");
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  // Even a parent that ignores SIGPIPE must not turn the closed pipe into a
  // reported error.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  const program_run run = run_program(LOGSWEEP, {folder.file("in.log")}, "", 300, ends[1]);
  std::signal(SIGPIPE, previous);
  close(ends[1]);
  EXPECT_EQ(run.status, 128 + SIGPIPE);
  EXPECT_EQ(run.err, "");
}

}  // namespace
