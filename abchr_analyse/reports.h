// What abchr-analyse writes: the report for people and for scripts, the tidy
// table of grades, and the plots. Each returns the file's whole text.
#pragma once

#include <string>
#include <vector>

#include "analysis.h"

constexpr const char* PROGRAM_VERSION = "abchr-analyse 2.0.0";

struct run_facts {
  std::string test;
  std::vector<std::string> result_files;
  int resamples = 0;
  uint64_t seed = 0;
};

std::string report_text(const analysis& a, const run_facts& facts);
std::string report_json(const analysis& a, const run_facts& facts);
// One row per grade, the removed listeners' too (marked).
std::string ratings_csv(const analysis& a, const std::vector<rating>& all);

struct svg_file {
  std::string name;
  std::string text;
};
// means.svg (every song together), means-<n>.svg per song, boxes.svg.
std::vector<svg_file> svg_plots(const analysis& a);
