// abchr-prepare's command line, read by getopt_long in the usual GNU manner:
// short options grouped or with a value attached or following, long options
// abbreviated while unambiguous, with "=" or a following value, "--" before
// paths that begin with a dash. One table of the options gives getopt_long
// its options and --help its lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "blind_names.h"
#include "excerpt.h"
#include "prepare.h"

struct command_options {
  prepare_options prepare;
  std::string output;  // "" for the default beside the original
  bool force = false;  // replace a song that the test folder holds already
  std::optional<excerpt_seconds> excerpt;
  std::optional<int> fade_ms;
  std::optional<uint64_t> seed;
  naming names = naming::blind;
  std::optional<bool> mushra_pages;  // --page
  std::optional<std::string> path_prefix;
  std::optional<std::string> results_url;  // --results-url; "" forgets the folder's
  std::optional<int> abx_trials;           // --abx
  bool help = false;
  bool version = false;
};

// Reads the arguments after the program's name. Returns false with the
// reason in `problem`.
bool parse_command_line(const std::vector<std::string>& args, command_options& options, std::string& problem);

// The text of --help.
std::string usage_text();
