#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>

namespace {

enum long_only { SCREEN = 256, SEED, RESAMPLES, DUPLICATES };

bool read_whole(const char* text, unsigned long long high, unsigned long long& value) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text, &end, 10);
  return *end == '\0' && errno == 0 && value <= high;
}

}  // namespace

bool parse_command_line(int argc, char** argv, command_options& options, std::string& problem) {
  static const option long_options[] = {{"output", required_argument, nullptr, 'o'},
                                        {"quiet", no_argument, nullptr, 'q'},
                                        {"screen", required_argument, nullptr, SCREEN},
                                        {"seed", required_argument, nullptr, SEED},
                                        {"resamples", required_argument, nullptr, RESAMPLES},
                                        {"duplicates", required_argument, nullptr, DUPLICATES},
                                        {"help", no_argument, nullptr, 'h'},
                                        {"version", no_argument, nullptr, 'V'},
                                        {nullptr, 0, nullptr, 0}};
  opterr = 0;
  optind = 1;
  int c = 0;
  // "+": options end at the first path, as POSIX has it; "--" ends them too.
  while ((c = getopt_long(argc, argv, "+:o:qhV", long_options, nullptr)) != -1) {
    const std::string value = optarg != nullptr ? optarg : "";
    unsigned long long n = 0;
    switch (c) {
      case 'o':
        options.output = value;
        break;
      case 'q':
        options.quiet = true;
        break;
      case 'h':
        options.help = true;
        break;
      case 'V':
        options.version = true;
        break;
      case SCREEN: {
        screening_rule rule;
        if (!parse_screening_rule(value, rule)) {
          problem =
              "--screen takes ref-low:P (P a percentage below 100), t-test or bs1534, not '" + value + "'";
          return false;
        }
        options.analysis.rules.push_back(rule);
        break;
      }
      case SEED:
        if (!read_whole(value.c_str(), ~0ull, n)) {
          problem = "--seed takes a whole number from 0 to 18446744073709551615, not '" + value + "'";
          return false;
        }
        options.analysis.seed = n;
        break;
      case RESAMPLES:
        if (!read_whole(value.c_str(), 10000000, n) || n < 100) {
          problem = "--resamples takes a number from 100 to 10000000, not '" + value + "'";
          return false;
        }
        options.analysis.resamples = static_cast<int>(n);
        break;
      case DUPLICATES:
        if (value != "first" && value != "last") {
          problem = "--duplicates takes first or last, not '" + value + "'";
          return false;
        }
        options.analysis.duplicates = value == "first" ? duplicate_policy::first : duplicate_policy::last;
        break;
      case ':':
        problem = std::string("option ") +
                  (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1]) +
                  " needs a value";
        return false;
      default:
        problem = std::string("unknown option ") + (optopt != 0 ? std::string("-") + static_cast<char>(optopt)
                                                                : std::string(argv[optind - 1]));
        return false;
    }
  }
  if (options.help || options.version) return true;
  if (argc - optind < 2) {
    problem = "give the test folder and at least one result file or folder of them";
    return false;
  }
  options.test = argv[optind];
  options.results.assign(argv + optind + 1, argv + argc);
  return true;
}

const char* usage_text() {
  return "Usage: abchr-analyse [OPTION]... TEST RESULTS...\n"
         "Unblind the grades in RESULTS (webMUSHRA's bs1116.csv and mushra.csv, beaqlejs's\n"
         "downloaded .txt files, the listening page's .json files, or folders of them) through\n"
         "the test folder TEST that abchr-prepare made, screen the listeners by the rules asked\n"
         "for, and write report.txt, report.json, ratings.csv and SVG plots into TEST/results/.\n"
         "\n"
         "  -o, --output DIR       write into DIR instead of TEST/results\n"
         "      --screen RULE      remove the listeners that RULE names (repeatable):\n"
         "                           ref-low:P  the hidden reference graded below the condition\n"
         "                                      in more than P% of their trials\n"
         "                           t-test     mean difference grade not significantly below\n"
         "                                      zero (one-sided t-test, 5%)\n"
         "                           bs1534     BS.1534 post-screening of MUSHRA pages\n"
         "      --seed N           seed of the bootstrap (default 0)\n"
         "      --resamples N      bootstrap resamples (default 10000)\n"
         "      --duplicates first|last  keep the first or the last grade a listener gave\n"
         "                         one stimulus twice (default: refuse)\n"
         "  -q, --quiet            no progress lines\n"
         "  -h, --help             show this help and exit\n"
         "  -V, --version          show the version and exit\n"
         "\n"
         "Exit status: 0 done, 1 usage, 2 a result file or the test folder refused,\n"
         "3 output failed, 4 out of memory.\n";
}
