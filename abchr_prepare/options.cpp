#include "options.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "platform.h"
#include "song_record.h"

namespace {

// The long-only options' codes, beyond every character.
enum option_code : int {
  FORCE = 256,
  EXCERPT,
  FADE,
  SEED,
  NAMES,
  PAGE,
  PATH_PREFIX,
  RESULTS_URL,
  ABX,
  HEADROOM,
  RESAMPLE,
  TIMEOUT,
};

// Every option once: what getopt_long reads and what --help prints.
struct option_row {
  const char* name;
  int code;           // the short option's character, or an option_code
  const char* value;  // the value's name in --help; nullptr for a flag
  const char* help;   // lines after the first are indented under it
};

constexpr option_row OPTIONS[] = {
    {"output", 'o', "TEST", "add the song to the test folder TEST (made when missing)"},
    {"force", FORCE, nullptr, "replace the song when TEST holds it already"},
    {"excerpt", EXCERPT, "S,L", "serve L seconds from second S of the aligned music"},
    {"fade", FADE, "MS",
     "fade each stimulus in and out over MS milliseconds\n(default: 20 with --excerpt, else 5)"},
    {"seed", SEED, "N", "shuffle the blind names from N (printed when not given)"},
    {"names", NAMES, "codec", "name the stimuli by codec instead of S1, S2... (pilot runs)"},
    {"page", PAGE, "mushra",
     "a MUSHRA page per song besides the ABC/HR pages (kept for TEST;\n--page bs1116 leaves them out again)"},
    {"path-prefix", PATH_PREFIX, "P", "where the front end serves TEST's public/ (kept for TEST)"},
    {"results-url", RESULTS_URL, "URL",
     "the listening page in TEST/public/listen/ also posts each\nlistener's results to URL (kept for TEST; "
     "\"\" for none)"},
    {"abx", ABX, "N",
     "the listening page also runs N ABX trials per condition,\nthe score shown after each set (kept for "
     "TEST; 0 for none)"},
    {"jobs", 'j', "N", "run N decoders at a time (default: the number of processors)"},
    {"headroom", HEADROOM, "DB", "lower every stimulus by DB decibels, against clipping"},
    {"resample", RESAMPLE, nullptr, "accept encoded files at another sample rate (resampled by soxr)"},
    {"timeout", TIMEOUT, "S",
     "stop a decoder that takes more than S seconds per minute of music\n(default 60), as one that hangs"},
    {"quiet", 'q', nullptr, "no progress lines"},
    {"help", 'h', nullptr, "show this help and exit"},
    {"version", 'V', nullptr, "show the version and exit"},
};

// Where the options' descriptions start in --help.
constexpr std::size_t HELP_COLUMN = 25;

bool read_jobs(const std::string& text, int& jobs) {
  int n = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, n);
  if (text.empty() || error != std::errc() || stop != end || n < 1 || n > 64) return false;
  jobs = n;
  return true;
}

bool read_count(const std::string& text, int most, int& count) {
  int n = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, n);
  if (text.empty() || error != std::errc() || stop != end || n < 0 || n > most) return false;
  count = n;
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

// Decibels as a plain decimal number ("3", "1.5"): no sign, exponent,
// hexadecimal or space, which strtod would take.
bool read_headroom(const std::string& text, double& db) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
  if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value) || value < 0 ||
      value > 60) {
    return false;
  }
  db = value;
  return true;
}

// Seconds per minute of music, a plain decimal number above 0.
bool read_timeout(const std::string& text, double& seconds) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
  if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value) || value <= 0 ||
      value > 1e6) {
    return false;
  }
  seconds = value;
  return true;
}

// The option for messages: "-j/--jobs", "--force".
std::string option_name(int code) {
  for (const option_row& row : OPTIONS) {
    if (row.code != code) continue;
    return (code < 256 ? std::string("-") + static_cast<char>(code) + "/" : std::string()) + "--" + row.name;
  }
  return std::string("-") + static_cast<char>(code);
}

// Why getopt_long refused a word that starts with "--".
std::string long_option_problem(const std::string& given) {
  const std::string name = given.substr(2, given.find('=') - 2);
  std::string candidates;
  for (const option_row& row : OPTIONS) {
    if (std::string(row.name).compare(0, name.size(), name) == 0) candidates += std::string(" --") + row.name;
  }
  if (std::count(candidates.begin(), candidates.end(), ' ') > 1) {
    return "option --" + name + " is ambiguous; it could be" + candidates;
  }
  if (!candidates.empty()) return "option" + candidates + " takes no value";
  return "unknown option --" + name;
}

bool take(int code, const std::string& value, command_options& options, std::string& problem) {
  switch (code) {
    case 'o':
      if (value.empty()) {
        problem = "--output takes the test folder's path, not ''";
        return false;
      }
      options.output = value;
      return true;
    case FORCE:
      options.force = true;
      return true;
    case 'j':
      if (read_jobs(value, options.prepare.jobs)) return true;
      problem = "--jobs takes a number of decoders from 1 to 64, not '" + value + "'";
      return false;
    case HEADROOM:
      if (read_headroom(value, options.prepare.headroom_db)) return true;
      problem = "--headroom takes decibels from 0 to 60 as a decimal number, not '" + value + "'";
      return false;
    case EXCERPT:
      options.excerpt = parse_excerpt(value);
      if (options.excerpt) return true;
      problem = "--excerpt takes START,LENGTH in seconds (for example 30,10), not '" + value + "'";
      return false;
    case FADE:
      options.fade_ms = parse_fade(value);
      if (options.fade_ms) return true;
      problem = "--fade takes milliseconds from 0 to 10000, not '" + value + "'";
      return false;
    case SEED:
      options.seed = parse_seed(value);
      if (options.seed) return true;
      problem = "--seed takes a whole number from 0 to 18446744073709551615, not '" + value + "'";
      return false;
    case NAMES:
      if (value != "blind" && value != "codec") {
        problem = "--names takes blind or codec, not '" + value + "'";
        return false;
      }
      options.names = value == "codec" ? naming::codec : naming::blind;
      return true;
    case PAGE:
      if (value != "mushra" && value != "bs1116") {
        problem =
            "--page takes mushra (a MUSHRA page per song besides the ABC/HR pages) or bs1116 (ABC/HR "
            "pages only), not '" +
            value + "'";
        return false;
      }
      options.mushra_pages = value == "mushra";
      return true;
    case PATH_PREFIX:
      options.path_prefix = value;
      return true;
    case RESULTS_URL:
      if (!results_url_fits(value)) {
        problem =
            "--results-url takes an http:// or https:// address without spaces (or \"\" for none), not '" +
            value + "'";
        return false;
      }
      options.results_url = value;
      return true;
    case ABX: {
      int trials = 0;
      if (!read_count(value, MAX_ABX_TRIALS, trials)) {
        problem = "--abx takes a number of ABX trials per condition from 0 (none) to " +
                  std::to_string(MAX_ABX_TRIALS) + ", not '" + value + "'";
        return false;
      }
      options.abx_trials = trials;
      return true;
    }
    case RESAMPLE:
      options.prepare.resample = true;
      return true;
    case TIMEOUT:
      if (read_timeout(value, options.prepare.timeout)) return true;
      problem =
          "--timeout takes seconds per minute of music above 0 as a decimal number, not '" + value + "'";
      return false;
    case 'q':
      options.prepare.quiet = true;
      return true;
    case 'h':
      options.help = true;
      return true;
    case 'V':
      options.version = true;
      return true;
    default:
      problem = "unknown option";
      return false;
  }
}

}  // namespace

bool parse_command_line(const std::vector<std::string>& args, command_options& options,
                        std::string& problem) {
  options.prepare.jobs = processor_count();
  // getopt_long's table and its string of short options, both from OPTIONS;
  // the leading ":" reports a missing value apart from an unknown option.
  std::vector<option> table;
  std::string shorts = ":";
  for (const option_row& row : OPTIONS) {
    table.push_back({row.name, row.value != nullptr ? required_argument : no_argument, nullptr, row.code});
    if (row.code < 256)
      shorts += std::string(1, static_cast<char>(row.code)) + (row.value != nullptr ? ":" : "");
  }
  table.push_back({nullptr, 0, nullptr, 0});
  std::vector<std::string> words{"abchr-prepare"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());
  // getopt keeps its place in globals of the C library: start it afresh, and
  // let it print nothing, so that every message has the program's own form.
  optind = 0;
  opterr = 0;
  for (;;) {
    const int code = getopt_long(argc, argv.data(), shorts.c_str(), table.data(), nullptr);
    if (code == -1) break;
    if (code == ':') {
      problem = "option " + option_name(optopt) + " needs a value";
      return false;
    }
    if (code == '?') {
      // optopt holds an unknown short option, or for a long option 0 (unknown
      // or ambiguous) or its code (given a value that it does not take); a
      // long option has moved optind past itself.
      const bool short_option =
          optopt > 0 && optopt < 256 && shorts.find(static_cast<char>(optopt)) == std::string::npos;
      problem = short_option ? "unknown option -" + std::string(1, static_cast<char>(optopt))
                             : long_option_problem(argv[optind - 1]);
      return false;
    }
    if (!take(code, optarg != nullptr ? optarg : "", options, problem)) return false;
  }
  if (options.help || options.version) return true;
  // getopt_long has moved the paths behind the options, in their order.
  const std::vector<std::string> paths(argv.begin() + optind, argv.end() - 1);
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

std::string usage_text() {
  std::string text =
      "Usage: abchr-prepare [OPTION]... ORIGINAL ENCODED...\n"
      "Decode ENCODED files (1 to 9) made from ORIGINAL, align them to it in time and level,\n"
      "and add them with the original as one song's 16-bit WAV stimuli to a listening-test\n"
      "folder (ORIGINAL's stem followed by -abchr unless -o names one): public/ holds what\n"
      "listeners get (stimuli/SONG/ under blind names, webmushra.yaml, beaqlejs_config.js),\n"
      "and beside it key.csv, report.txt, report.json and songs/ stay private.\n"
      "\n";
  for (const option_row& row : OPTIONS) {
    std::string left =
        row.code < 256 ? std::string("  -") + static_cast<char>(row.code) + ", --" : "      --";
    left += row.name;
    if (row.value != nullptr) left += std::string(" ") + row.value;
    left.resize(std::max(left.size() + 2, HELP_COLUMN), ' ');
    for (const char c : std::string(row.help)) {
      left += c;
      if (c == '\n') left += std::string(HELP_COLUMN, ' ');
    }
    text += left + "\n";
  }
  return text +
         "\n"
         "Exit status: 0 done, 1 usage, 2 input refused, 3 decoder missing or failed,\n"
         "4 check failed (other music, offset at the edge, clipping, an excerpt beyond the\n"
         "song, a rule of webMUSHRA's), 5 output refused or failed, 6 out of memory.\n"
         "Needs ffmpeg and ffprobe; uses opusdec when installed.\n";
}
