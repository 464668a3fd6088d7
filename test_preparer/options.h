// abchr-prepare's command line, read in the usual GNU manner: short options
// with a value attached or following, long options with "=" or a following
// value, "--" before paths that begin with a dash.
#pragma once

#include <string>
#include <vector>

#include "prepare.h"

struct command_options {
  prepare_options prepare;
  std::string output;  // "" for the default beside the original
  bool force = false;
  bool help = false;
  bool version = false;
};

// Reads the arguments after the program's name. Returns false with the
// reason in `problem`.
bool parse_command_line(const std::vector<std::string>& args, command_options& options, std::string& problem);

// The text of --help.
const char* usage_text();
