// Whole runs of wavmatch2 against the plain, one-value-at-a-time version of
// the same algorithms in literal_wavmatch.h, which shares nothing with the
// program: every byte of standard output and of every raw file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "literal_wavmatch.h"
#include "program_runner.h"
#include "signal_maker.h"
#include "wav_writer.h"
#include "whole_run_cases.h"

namespace {

using whole_run_rows::cases;
using whole_run_rows::named_file;
using whole_run_rows::whole_run_case;

// The same input files in two folders, one for each aligner, so that their
// raw files never meet.
struct twin_folders {
  temp_dir program;
  temp_dir literal;
  std::vector<std::string> names;
  explicit twin_folders(const std::vector<named_file>& files) {
    for (const named_file& f : files) {
      write_file(program.file(f.name), f.content);
      write_file(literal.file(f.name), f.content);
      names.push_back(f.name);
    }
  }
};

// The raw files in a folder, by name.
std::map<std::string, bytes> raw_files(const std::string& folder) {
  std::map<std::string, bytes> raws;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".raw")
      raws[entry.path().filename().string()] = read_file(entry.path().string());
  }
  return raws;
}

void expect_same_raw_files(const std::string& expected_folder, const std::string& actual_folder,
                           std::size_t count) {
  const std::map<std::string, bytes> expected = raw_files(expected_folder);
  const std::map<std::string, bytes> actual = raw_files(actual_folder);
  EXPECT_EQ(expected.size(), count);
  ASSERT_EQ(actual.size(), expected.size());
  for (const auto& [name, raw] : expected) {
    ASSERT_EQ(actual.count(name), 1u) << name;
    const bytes& written = actual.at(name);
    ASSERT_EQ(written.size(), raw.size()) << name;
    const auto mismatch = std::mismatch(written.begin(), written.end(), raw.begin());
    EXPECT_EQ(mismatch.first, written.end())
        << name << " differs first at byte " << (mismatch.first - written.begin());
  }
}

// Runs the reference in `folder`, so that labels and raw names agree with the
// program's, and returns its status and standard output.
program_run literal_run(const std::string& folder, const std::vector<std::string>& names) {
  program_run run;
  const std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  // Through a binary scratch file, so that the bytes read back are the bytes
  // written on every system.
  FILE* out = std::tmpfile();
  EXPECT_NE(out, nullptr);
  if (out != nullptr) {
    run.status = literal::run(names, out);
    std::rewind(out);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) run.out.append(buffer, n);
    std::fclose(out);
  }
  std::filesystem::current_path(here);
  return run;
}

class whole_run : public ::testing::TestWithParam<whole_run_case> {};

TEST_P(whole_run, matches_the_plain_algorithms_byte_for_byte) {
  const twin_folders dirs(GetParam().files());
  const program_run run = run_program(WAVMATCH2_PATH, dirs.names, dirs.program.path);
  const program_run expected = literal_run(dirs.literal.path, dirs.names);

  EXPECT_EQ(expected.status, 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected.out);
  EXPECT_NE(run.out.find(GetParam().expect_in_output), std::string::npos) << run.out;
  expect_same_raw_files(dirs.literal.path, dirs.program.path, dirs.names.size());
}

INSTANTIATE_TEST_SUITE_P(rows, whole_run, ::testing::ValuesIn(cases()),
                         [](const auto& row) { return std::string(row.param.name); });

// The benchmark's program built from the same reference: same command line,
// same bytes.
TEST(literal_wavmatch_program, writes_what_wavmatch2_writes) {
  const twin_folders dirs(cases().front().files());
  const program_run run = run_program(WAVMATCH2_PATH, dirs.names, dirs.program.path);
  const program_run expected = run_program(LITERAL_WAVMATCH_PATH, dirs.names, dirs.literal.path);
  EXPECT_EQ(expected.status, 0);
  EXPECT_EQ(expected.err, "");
  EXPECT_EQ(run.out, expected.out);
  expect_same_raw_files(dirs.literal.path, dirs.program.path, dirs.names.size());
}

// Raw files of an earlier run, longer than this run's: each is emptied before
// it is written, so that no stale tail of the old stimulus stays behind the
// new one.
TEST(whole_run_outputs, longer_raw_files_of_an_earlier_run_keep_no_stale_tail) {
  const twin_folders dirs(cases().front().files());
  ASSERT_EQ(run_program(WAVMATCH2_PATH, dirs.names, dirs.program.path).status, 0);
  for (const auto& [name, raw] : raw_files(dirs.program.path))
    write_file(dirs.program.file(name), bytes(2 * raw.size() + 1, 0xEE));
  const program_run run = run_program(WAVMATCH2_PATH, dirs.names, dirs.program.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(literal_run(dirs.literal.path, dirs.names).status, 0);
  expect_same_raw_files(dirs.literal.path, dirs.program.path, dirs.names.size());
}

}  // namespace
