#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "platform.h"
#include "song_record.h"

namespace {

bool read_jobs(const std::string& text, int& jobs) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || n < 1 || n > 64) return false;
  jobs = static_cast<int>(n);
  return true;
}

bool read_count(const std::string& text, int most, int& count) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || n < 0 || n > most) return false;
  count = static_cast<int>(n);
  return true;
}

bool read_headroom(const std::string& text, double& db) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0 || value > 60) return false;
  db = value;
  return true;
}

// An address that the listening page can post to: http or https, printable
// ASCII without spaces, so that nothing in it reads as markup or a command.
bool results_url_fits(const std::string& url) {
  if (url.empty()) return true;
  if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) return false;
  for (const char c : url) {
    if (c <= ' ' || c > '~' || c == '"' || c == '<' || c == '>' || c == '\\') return false;
  }
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
    const bool takes_value = name == "-o" || name == "--output" || name == "-j" || name == "--jobs" ||
                             name == "--headroom" || name == "--excerpt" || name == "--fade" ||
                             name == "--seed" || name == "--names" || name == "--page" ||
                             name == "--path-prefix" || name == "--results-url" || name == "--abx";
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
    } else if (name == "--excerpt") {
      options.excerpt = parse_excerpt(value);
      if (!options.excerpt) {
        problem = "--excerpt takes START,LENGTH in seconds (for example 30,10), not '" + value + "'";
        return false;
      }
    } else if (name == "--fade") {
      options.fade_ms = parse_fade(value);
      if (!options.fade_ms) {
        problem = "--fade takes milliseconds from 0 to 10000, not '" + value + "'";
        return false;
      }
    } else if (name == "--seed") {
      options.seed = parse_seed(value);
      if (!options.seed) {
        problem = "--seed takes a whole number from 0 to 18446744073709551615, not '" + value + "'";
        return false;
      }
    } else if (name == "--names") {
      if (value != "blind" && value != "codec") {
        problem = "--names takes blind or codec, not '" + value + "'";
        return false;
      }
      options.names = value == "codec" ? naming::codec : naming::blind;
    } else if (name == "--page") {
      if (value != "mushra" && value != "bs1116") {
        problem =
            "--page takes mushra (a MUSHRA page per song besides the ABC/HR pages) or bs1116 (ABC/HR "
            "pages only), not '" +
            value + "'";
        return false;
      }
      options.mushra_pages = value == "mushra";
    } else if (name == "--path-prefix") {
      options.path_prefix = value;
    } else if (name == "--results-url") {
      if (!results_url_fits(value)) {
        problem =
            "--results-url takes an http:// or https:// address without spaces (or \"\" for none), "
            "not '" +
            value + "'";
        return false;
      }
      options.results_url = value;
    } else if (name == "--abx") {
      int trials = 0;
      if (!read_count(value, MAX_ABX_TRIALS, trials)) {
        problem = "--abx takes a number of ABX trials per condition from 0 (none) to " +
                  std::to_string(MAX_ABX_TRIALS) + ", not '" + value + "'";
        return false;
      }
      options.abx_trials = trials;
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
         "and add them with the original as one song's 16-bit WAV stimuli to a listening-test\n"
         "folder (ORIGINAL's stem followed by -abchr unless -o names one): stimuli/SONG/ under\n"
         "blind names, key.csv, report.txt, report.json, webmushra.yaml, beaqlejs_config.js.\n"
         "\n"
         "  -o, --output TEST      add the song to the test folder TEST (made when missing)\n"
         "      --force            replace the song when TEST holds it already\n"
         "      --excerpt S,L      serve L seconds from second S of the aligned music\n"
         "      --fade MS          fade each stimulus in and out over MS milliseconds\n"
         "                         (default: 20 with --excerpt, else 0)\n"
         "      --seed N           shuffle the blind names from N (printed when not given)\n"
         "      --names codec      name the stimuli by codec instead of S1, S2... (pilot runs)\n"
         "      --page mushra      a MUSHRA page per song besides the ABC/HR pages (kept for TEST;\n"
         "                         --page bs1116 leaves them out again)\n"
         "      --path-prefix P    where the front end serves TEST's files (kept for TEST)\n"
         "      --results-url URL  the listening page in TEST/public/listen/ also posts each\n"
         "                         listener's results to URL (kept for TEST; \"\" for none)\n"
         "      --abx N            the listening page also runs N ABX trials per condition,\n"
         "                         the score shown after each set (kept for TEST; 0 for none)\n"
         "  -j, --jobs N       run N decoders at a time (default: the number of processors)\n"
         "      --headroom DB  lower every stimulus by DB decibels, against clipping\n"
         "      --resample     accept encoded files at another sample rate (resampled by soxr)\n"
         "  -q, --quiet        no progress lines\n"
         "  -h, --help         show this help and exit\n"
         "  -V, --version      show the version and exit\n"
         "\n"
         "Exit status: 0 done, 1 usage, 2 input refused, 3 decoder missing or failed,\n"
         "4 check failed (other music, offset at the edge, clipping, an excerpt beyond the\n"
         "song, a rule of webMUSHRA's), 5 output refused or failed, 6 out of memory. Needs ffmpeg and "
         "ffprobe; uses opusdec when installed.\n";
}
