// The analysis of a test's grades: duplicates resolved, one scale checked,
// the screening applied, and the statistics per song and over all songs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ratings.h"
#include "screening.h"
#include "statistics.h"

enum class duplicate_policy { refuse, first, last };

struct analysis_options {
  std::vector<screening_rule> rules;
  uint64_t seed = 0;
  int resamples = 10000;
  duplicate_policy duplicates = duplicate_policy::refuse;
};

// The same listener grading the same stimulus twice: refused, or all but
// the first or the last (in the order the files were given) left out.
bool resolve_duplicates(rating_set& set, duplicate_policy policy, input_problem& problem);
// Every grade on one scale: 1-5 and 0-100 grades cannot share a statistic.
bool check_one_scale(const rating_set& set, input_problem& problem);

struct codec_summary {
  std::string codec;
  std::vector<double> values;  // one per listener (per song), or per listener and song (overall)
  mean_interval mean;
  quartiles spread;
};

// The statistics of one song ("" for every song together).
struct analysis_part {
  std::string song;
  std::vector<codec_summary> codecs;  // in the stable codec order
  int complete_blocks = 0;
  int incomplete_blocks = 0;  // left out of the blocked statistics
  block_anova anova;
  friedman_test friedman;
  bootstrap_means boot;
  std::vector<std::string> warnings;
};

struct abx_summary {
  std::string listener, song, stimulus, codec;
  int trials = 0, correct = 0;
  int planned = 0;
  double p = 1;
  bool fixed_in_advance = false;
};

struct analysis {
  grade_scale scale = grade_scale::impairment;
  int listeners = 0;
  std::vector<rule_outcome> screening;
  std::vector<std::string> removed;  // every listener a rule removed
  std::vector<rating> kept;          // the grades the statistics use
  analysis_part overall;
  std::vector<analysis_part> songs;
  std::vector<abx_summary> abx;
  std::vector<std::string> warnings;
};

// The value a statistic takes of one grade: the difference grade on the
// impairment scale, the MUSHRA grade itself on the MUSHRA scale.
double analysed_value(const rating& r);

analysis analyse(const rating_set& set, const analysis_options& options);
