// abchr-analyse's command line, read by getopt_long.
#pragma once

#include <string>
#include <vector>

#include "analysis.h"

struct command_options {
  analysis_options analysis;
  std::string test;
  std::vector<std::string> results;
  std::string output;  // "" for TEST/results
  bool quiet = false;
  bool help = false;
  bool version = false;
};

// Reads argv (argv[0] the program). Returns false with the reason in `problem`.
bool parse_command_line(int argc, char** argv, command_options& options, std::string& problem);

const char* usage_text();
