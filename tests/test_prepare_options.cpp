// abchr-prepare's command line as getopt_long reads it: each row gives the
// arguments and what they set (jobs, quiet, force, output, headroom and the
// paths), or the start of the message that refuses them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "options.h"

namespace {

struct option_case {
  const char* name;
  std::vector<std::string> args;
  std::string outcome;  // what was set, or "refused: " and the message's start
};

std::string outcome_of(const std::vector<std::string>& args) {
  command_options o;
  std::string problem;
  if (!parse_command_line(args, o, problem)) return "refused: " + problem;
  std::string paths = o.prepare.original;
  for (const std::string& e : o.prepare.encoded) paths += "," + e;
  return "jobs " + std::to_string(o.prepare.jobs) + (o.prepare.quiet ? " quiet" : "") +
         (o.force ? " force" : "") + " output '" + o.output + "' headroom " +
         std::to_string(o.prepare.headroom_db) + " " + paths;
}

const std::vector<option_case> CASES = {
    {"grouped_short_options",
     {"-qj2", "a.wav", "b.mp3"},
     "jobs 2 quiet output '' headroom 0.000000 a.wav,b.mp3"},
    {"unambiguous_abbreviation",
     {"--forc", "a.wav", "b.mp3"},
     "jobs 1 force output '' headroom 0.000000 a.wav,b.mp3"},
    {"ambiguous_abbreviation",
     {"--f", "a.wav", "b.mp3"},
     "refused: option --f is ambiguous; it could be --force --fade"},
    {"headroom_decimal",
     {"--headroom=1.5", "a.wav", "b.mp3"},
     "jobs 1 output '' headroom 1.500000 a.wav,b.mp3"},
    {"headroom_with_space_and_hex",
     {"--headroom", " 0x3", "a.wav", "b.mp3"},
     "refused: --headroom takes decibels"},
    {"headroom_hex", {"--headroom", "0x3", "a.wav", "b.mp3"}, "refused: --headroom takes decibels"},
    {"headroom_exponent", {"--headroom", "1e1", "a.wav", "b.mp3"}, "refused: --headroom takes decibels"},
    {"headroom_signed", {"--headroom", "+3", "a.wav", "b.mp3"}, "refused: --headroom takes decibels"},
    {"empty_output", {"-o", "", "a.wav", "b.mp3"}, "refused: --output takes the test folder's path, not ''"},
    {"output_attached", {"-oT", "a.wav", "b.mp3"}, "jobs 1 output 'T' headroom 0.000000 a.wav,b.mp3"},
    {"dash_dash_before_a_dashed_file",
     {"-q", "a.wav", "--", "-live.mp3"},
     "jobs 1 quiet output '' headroom 0.000000 a.wav,-live.mp3"},
    {"dashed_file_without_dash_dash", {"a.wav", "-live.mp3"}, "refused: unknown option -l"},
    {"options_after_paths", {"a.wav", "b.mp3", "-j", "3"}, "jobs 3 output '' headroom 0.000000 a.wav,b.mp3"},
    {"missing_value", {"a.wav", "b.mp3", "--jobs"}, "refused: option -j/--jobs needs a value"},
    {"value_to_a_flag", {"--quiet=yes", "a.wav", "b.mp3"}, "refused: option --quiet takes no value"},
    {"unknown_long", {"--fast", "a.wav", "b.mp3"}, "refused: unknown option --fast"},
    {"results_url_without_scheme",
     {"--results-url", "example.org/r", "a.wav", "b.mp3"},
     "refused: --results-url takes an http:// or https:// address"},
    {"results_url_with_markup",
     {"--results-url", "https://x/\"><b>", "a.wav", "b.mp3"},
     "refused: --results-url takes an http:// or https:// address"},
    {"abx_beyond_its_most",
     {"--abx", "101", "a.wav", "b.mp3"},
     "refused: --abx takes a number of ABX trials"},
    {"abx_signed", {"--abx", "-2", "a.wav", "b.mp3"}, "refused: --abx takes a number of ABX trials"},
    {"jobs_out_of_range",
     {"-j0", "a.wav", "b.mp3"},
     "refused: --jobs takes a number of decoders from 1 to 64"},
};

class prepare_options_table : public ::testing::TestWithParam<option_case> {};

TEST_P(prepare_options_table, reads_as_getopt_long_does) {
  const option_case& c = GetParam();
  std::vector<std::string> args = c.args;
  // The default of --jobs is the processor count: give it where a row does not.
  const bool jobs_given = std::any_of(args.begin(), args.end(), [](const std::string& a) {
    return a.rfind("-j", 0) == 0 || a.rfind("-qj", 0) == 0 || a == "--jobs";
  });
  if (!jobs_given) args.insert(args.begin(), "-j1");
  EXPECT_EQ(outcome_of(args).substr(0, c.outcome.size()), c.outcome);
}

INSTANTIATE_TEST_SUITE_P(rows, prepare_options_table, ::testing::ValuesIn(CASES),
                         [](const auto& row) { return std::string(row.param.name); });

// Every option that --help lists, getopt_long takes, and the reverse; all
// descriptions start in one column.
TEST(prepare_options, help_lists_the_options_in_one_column) {
  const std::string help = usage_text();
  std::size_t column = 0;
  for (std::size_t at = help.find("\n  "); at != std::string::npos; at = help.find("\n  ", at + 1)) {
    const std::size_t line = at + 1;
    const std::size_t end = help.find('\n', line);
    const std::string text = help.substr(line, end - line);
    const std::size_t dashes = text.find("--");
    if (dashes == std::string::npos || text.find_first_not_of(' ') > 6) continue;
    const std::string name = text.substr(dashes, text.find(' ', dashes) - dashes);
    command_options o;
    std::string problem;
    EXPECT_FALSE(!parse_command_line({name, "x", "x", "x"}, o, problem) &&
                 problem.find("unknown") != std::string::npos)
        << name;
    const std::size_t described = text.find_first_not_of(' ', text.find("  ", dashes));
    if (column == 0) column = described;
    EXPECT_EQ(described, column) << text;
  }
  EXPECT_GT(column, 0u);
}

}  // namespace
