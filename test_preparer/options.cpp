#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "platform.h"

namespace {

bool read_jobs(const std::string& text, int& jobs) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || n < 1 || n > 64) return false;
  jobs = static_cast<int>(n);
  return true;
}

bool read_headroom(const std::string& text, double& db) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0 || value > 60) return false;
  db = value;
  return true;
}

}  // namespace

bool parse_command_line(const std::vector<std::string>& args, command_options& options,
                        std::string& problem) {
  options.prepare.jobs = processor_count();
  std::vector<std::string> paths;
  bool options_end = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_end || arg.size() < 2 || arg[0] != '-') {
      paths.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_end = true;
      continue;
    }
    // The option's name and, where one is attached ("-j2", "--jobs=2"), its value.
    std::string name = arg;
    std::string value;
    bool attached = false;
    if (arg[1] == '-') {
      const std::size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        attached = true;
      }
    } else if (arg.size() > 2) {
      name = arg.substr(0, 2);
      value = arg.substr(2);
      attached = true;
    }
    const bool takes_value =
        name == "-o" || name == "--output" || name == "-j" || name == "--jobs" || name == "--headroom";
    if (takes_value && !attached) {
      if (i + 1 == args.size()) {
        problem = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
    } else if (!takes_value && attached) {
      problem = "option " + name + " takes no value";
      return false;
    }
    if (name == "-o" || name == "--output") {
      options.output = value;
    } else if (name == "-j" || name == "--jobs") {
      if (!read_jobs(value, options.prepare.jobs)) {
        problem = "--jobs takes a number of decoders from 1 to 64, not '" + value + "'";
        return false;
      }
    } else if (name == "--headroom") {
      if (!read_headroom(value, options.prepare.headroom_db)) {
        problem = "--headroom takes decibels from 0 to 60, not '" + value + "'";
        return false;
      }
    } else if (name == "-q" || name == "--quiet") {
      options.prepare.quiet = true;
    } else if (name == "--resample") {
      options.prepare.resample = true;
    } else if (name == "--force") {
      options.force = true;
    } else if (name == "-h" || name == "--help") {
      options.help = true;
    } else if (name == "-V" || name == "--version") {
      options.version = true;
    } else {
      problem = "unknown option " + name;
      return false;
    }
  }
  if (options.help || options.version) return true;
  if (paths.size() < 2) {
    problem = "give the original and at least one encoded file";
    return false;
  }
  if (paths.size() - 1 > static_cast<std::size_t>(MAX_ENCODED)) {
    problem = std::to_string(paths.size() - 1) + " encoded files; at most " + std::to_string(MAX_ENCODED) +
              " can be aligned against one original: prepare the rest in a second run";
    return false;
  }
  options.prepare.original = paths[0];
  options.prepare.encoded.assign(paths.begin() + 1, paths.end());
  return true;
}

const char* usage_text() {
  return "Usage: abchr-prepare [OPTION]... ORIGINAL ENCODED...\n"
         "Decode ENCODED files (1 to 9) made from ORIGINAL, align them to it in time and level,\n"
         "and write them with the original as 16-bit WAV stimuli of an ABC/HR test, with\n"
         "report.txt and report.json, into ORIGINAL's stem followed by -abchr.\n"
         "\n"
         "  -o, --output DIR   write the stimuli into DIR instead\n"
         "      --force        replace DIR when it holds an earlier run's report\n"
         "  -j, --jobs N       run N decoders at a time (default: the number of processors)\n"
         "      --headroom DB  lower every stimulus by DB decibels, against clipping\n"
         "      --resample     accept encoded files at another sample rate (resampled by soxr)\n"
         "  -q, --quiet        no progress lines\n"
         "  -h, --help         show this help and exit\n"
         "  -V, --version      show the version and exit\n"
         "\n"
         "Exit status: 0 done, 1 usage, 2 input refused, 3 decoder missing or failed,\n"
         "4 check failed (other music, offset at the edge, clipping), 5 output refused or\n"
         "failed, 6 out of memory. Needs ffmpeg and ffprobe; uses opusdec when installed.\n";
}
