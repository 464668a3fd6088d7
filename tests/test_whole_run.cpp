// Whole runs of wavmatch2 against the plain, one-value-at-a-time version of
// the same algorithms: every byte of standard output and of every raw file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "literal_wavmatch.h"
#include "program_runner.h"
#include "wav_writer.h"
#include "whole_run_cases.h"

namespace {

using whole_run_rows::cases;
using whole_run_rows::named_file;
using whole_run_rows::whole_run_case;

template <typename F>
auto in_folder(const std::string& folder, F work) {
  const std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  auto result = work();
  std::filesystem::current_path(here);
  return result;
}

class whole_run : public ::testing::TestWithParam<whole_run_case> {};

TEST_P(whole_run, matches_the_plain_algorithms_byte_for_byte) {
  temp_dir dir;
  std::vector<std::string> names;
  for (const named_file& f : GetParam().files()) {
    write_file(dir.file(f.name), f.content);
    names.push_back(f.name);
  }
  const program_run run = run_program(WAVMATCH2_PATH, names, dir.path);
  // The oracle runs in the same folder, so that labels and raw names agree.
  const literal_run_result expected = in_folder(dir.path, [&] { return literal_wavmatch(names); });
  const std::string& expected_out = expected.out;

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected_out);
  EXPECT_NE(run.out.find(GetParam().expect_in_output), std::string::npos) << run.out;
  for (const auto& [path, raw] : expected.raws) {
    const bytes written = read_file(dir.file(path));
    const bytes expected_raw(raw.begin(), raw.end());
    ASSERT_EQ(written.size(), expected_raw.size()) << path;
    const auto mismatch = std::mismatch(written.begin(), written.end(), expected_raw.begin());
    EXPECT_EQ(mismatch.first, written.end()) << path << " differs first at byte " << (mismatch.first - written.begin());
  }
}

INSTANTIATE_TEST_SUITE_P(rows, whole_run, ::testing::ValuesIn(cases()),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
