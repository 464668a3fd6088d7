// abchr-analyse: from listeners' result files to unblinded, screened
// statistics, a report and plots.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "analysis.h"
#include "folder_key.h"
#include "options.h"
#include "output_files.h"
#include "platform.h"
#include "reports.h"
#include "result_files.h"
#include "utf8_paths.h"

namespace {

// "abchr-analyse: path:line: message", control bytes of a name shown as '?'.
void complain(const source_place& place, const std::string& message) {
  std::string where =
      place.file.empty() ? "" : place.file + (place.line > 0 ? ":" + std::to_string(place.line) : "") + ": ";
  std::string text = "abchr-analyse: " + where + message;
  for (char& c : text)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7F) c = '?';
  std::fprintf(stderr, "%s\n", text.c_str());
}

// The result files named by the arguments: files as given, folders' files
// (.csv, .txt, .json) by name, at any depth.
bool gather(const std::vector<std::string>& args, std::vector<std::string>& files, input_problem& problem) {
  for (const std::string& arg : args) {
    std::error_code ec;
    const std::filesystem::path path = path_of(arg);
    if (std::filesystem::is_directory(path, ec)) {
      std::vector<std::string> found;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ec)) {
        const std::string ext = text_of(entry.path().extension());
        if (entry.is_regular_file(ec) && (ext == ".csv" || ext == ".txt" || ext == ".json"))
          found.push_back(text_of(entry.path()));
      }
      if (ec) {
        problem = input_problem(arg, 0, "cannot read the folder: " + ec.message());
        return false;
      }
      std::sort(found.begin(), found.end());
      files.insert(files.end(), found.begin(), found.end());
    } else if (std::filesystem::is_regular_file(path, ec)) {
      files.push_back(arg);
    } else {
      problem = input_problem(arg, 0,
                              std::filesystem::exists(path, ec)
                                  ? "is neither a file nor a folder; give result files"
                                  : "no such file or folder");
      return false;
    }
  }
  return true;
}

int run(const command_options& options) {
  folder_key key;
  input_problem problem;
  if (!read_folder_key(options.test, key, problem))
    return complain(problem.place, problem.message), ANALYSE_INPUT_REFUSED;
  std::vector<std::string> files;
  if (!gather(options.results, files, problem))
    return complain(problem.place, problem.message), ANALYSE_INPUT_REFUSED;
  rating_set set;
  for (const std::string& file : files) {
    std::string text;
    int error = 0;
    if (!read_whole_file(file, text, error)) {
      complain({file, 0}, "cannot read: " + system_reason(error));
      return ANALYSE_INPUT_REFUSED;
    }
    const std::size_t before = set.ratings.size() + set.abx.size();
    if (!read_result_file(file, text, key, set, problem))
      return complain(problem.place, problem.message), ANALYSE_INPUT_REFUSED;
    if (!options.quiet)
      std::fprintf(stderr, "read %s: %zu grades\n", file.c_str(),
                   set.ratings.size() + set.abx.size() - before);
  }
  if (!resolve_duplicates(set, options.analysis.duplicates, problem) || !check_one_scale(set, problem))
    return complain(problem.place, problem.message), ANALYSE_INPUT_REFUSED;
  if (set.ratings.empty() && set.abx.empty()) {
    complain({options.results.front(), 0},
             "no grades in the result files; give the files the front end wrote");
    return ANALYSE_INPUT_REFUSED;
  }
  const std::vector<rating> all = set.ratings;
  if (!options.quiet)
    std::fprintf(stderr, "analysing %zu grades, %d bootstrap resamples per statistic\n", set.ratings.size(),
                 options.analysis.resamples);
  const analysis a = analyse(set, options.analysis);
  const run_facts facts{options.test, files, options.analysis.resamples, options.analysis.seed};
  std::vector<output_file> outputs{{"report.txt", report_text(a, facts), true},
                                   {"report.json", report_json(a, facts), false},
                                   {"ratings.csv", ratings_csv(a, all), false}};
  for (svg_file& plot : svg_plots(a)) outputs.push_back({plot.name, std::move(plot.text), false});
  const std::string folder = options.output.empty() ? options.test + "/results" : options.output;
  std::string failed, reason;
  if (!write_results(folder, outputs, failed, reason)) {
    complain({failed, 0}, reason);
    return ANALYSE_OUTPUT_FAILED;
  }
  if (!options.quiet) {
    for (const std::string& w : a.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
    std::fprintf(stderr, "wrote %s/report.txt, report.json, ratings.csv and %zu plots\n", folder.c_str(),
                 outputs.size() - 3);
  }
  return ANALYSE_OK;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    command_options options;
    std::string problem;
    if (!parse_command_line(argc, argv, options, problem)) {
      complain({}, problem + "\nTry 'abchr-analyse --help' for more information.");
      return ANALYSE_USAGE;
    }
    if (options.help) {
      std::fputs(usage_text(), stdout);
      return std::fflush(stdout) == 0 ? ANALYSE_OK : ANALYSE_OUTPUT_FAILED;
    }
    if (options.version) {
      std::printf("%s\n", PROGRAM_VERSION);
      return std::fflush(stdout) == 0 ? ANALYSE_OK : ANALYSE_OUTPUT_FAILED;
    }
    return run(options);
  } catch (const std::bad_alloc&) {
    complain({}, "out of memory");
    return ANALYSE_OUT_OF_MEMORY;
  }
}
