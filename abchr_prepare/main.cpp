// abchr-prepare: turns one original and its encoded files into a folder of
// verified, aligned, loudness-matched 16-bit WAV stimuli with a report.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "../track_aligner/platform.h"
#include "input_checks.h"
#include "listening_folder.h"
#include "options.h"
#include "output_folder.h"
#include "platform.h"
#include "prepare.h"
#include "reports.h"
#include "utf8_paths.h"

namespace {

// Every input must be a file that can be read before any decoder sees it,
// and each a file of its own. Every bad one is named.
int check_inputs_exist(const prepare_options& options) {
  std::vector<std::string> inputs{options.original};
  inputs.insert(inputs.end(), options.encoded.begin(), options.encoded.end());
  int status = PREPARE_OK;
  for (const std::string& input : inputs) {
    std::error_code ec;
    const std::filesystem::path path = path_of(input);
    if (!std::filesystem::is_regular_file(path, ec)) {
      complain(input, std::filesystem::exists(path, ec) ? "is not a file" : "no such file");
      status = PREPARE_INPUT_REFUSED;
    }
  }
  if (status != PREPARE_OK) return status;
  int error = 0;
  const std::vector<int> earlier = repeated_inputs(inputs, error);
  for (std::size_t k = 1; k < inputs.size(); ++k) {
    if (earlier[k] < 0) continue;
    const std::string& first = inputs[static_cast<std::size_t>(earlier[k])];
    complain(inputs[k], earlier[k] == 0
                            ? "is the original itself (or a copy of it); give the encoded files"
                            : "is the same file as " + first + ", given twice; give each encoded file once");
    status = PREPARE_INPUT_REFUSED;
  }
  return status;
}

// "path" lies inside "folder", by their real paths.
bool inside(const std::string& path, const std::string& folder) {
  std::error_code ec;
  const std::filesystem::path a = std::filesystem::weakly_canonical(path_of(path), ec);
  const std::filesystem::path b = std::filesystem::weakly_canonical(path_of(folder), ec);
  auto ia = a.begin();
  for (auto ib = b.begin(); ib != b.end(); ++ib, ++ia) {
    if (ib->empty() && std::next(ib) == b.end()) break;  // a trailing separator
    if (ia == a.end() || *ia != *ib) return false;
  }
  return true;
}

int folder_failure(folder_status status, const folder_problem& problem) {
  // A lock's wait that a signal ended is no failure to report: the run ends by the signal.
  if (pending_signal() != 0) return PREPARE_INTERRUPTED;
  complain(problem.path,
           problem.error != 0 ? problem.message + ": " + system_reason(problem.error) : problem.message);
  return status == folder_status::refused ? PREPARE_CHECK_FAILED : PREPARE_OUTPUT_FAILED;
}

uint64_t fresh_seed() {
  std::random_device random;
  return (static_cast<uint64_t>(random()) << 32) ^ random();
}

void say_waiting(const std::string& test) {
  std::fprintf(stderr, "waiting for another abchr-prepare to finish its change of %s\n",
               printable(test).c_str());
}

// What a run made and must take back unless its song went in.
struct run_leftovers {
  std::string test;
  bool made_test = false;  // the test folder did not exist before
  std::string staging;
  intptr_t owner = 0;  // the lock that marks the staging folder as this run's
  bool keep_staging = false;
  bool committed = false;
  run_guard guard;
};

void take_back(run_leftovers& left) {
  undo_run(left.guard);
  if (!left.staging.empty()) {
    unlock_file(left.owner);
    // A change recorded but not finished needs its files for the next run.
    if (!left.keep_staging) discard_work_folder(left.staging, left.guard);
    left.staging.clear();
  }
  if (left.made_test && !left.committed) forget_new_test_folder(left.test);
  left.made_test = false;
}

int prepare_into(const command_options& options, run_leftovers& left) {
  const prepare_options& prepare = options.prepare;
  if (const int status = check_inputs_exist(prepare); status != PREPARE_OK) return status;
  const std::string& test = left.test;
  const std::string song_name = text_of(path_of(prepare.original).stem());
  if (const auto problem = song_name_problem(song_name)) {
    complain(prepare.original, *problem + "; the song is named after the original: rename or copy it");
    return PREPARE_INPUT_REFUSED;
  }
  std::vector<std::string> inputs{prepare.original};
  inputs.insert(inputs.end(), prepare.encoded.begin(), prepare.encoded.end());
  for (const std::string& input : inputs) {
    if (inside(input, test + "/" + PUBLIC_FOLDER) || inside(input, test + "/" + STIMULI_FOLDER) ||
        inside(input, test + "/" + SONGS_FOLDER) || inside(test, input)) {
      complain(test, "the test folder would replace the input " + input + "; choose another with -o");
      return PREPARE_OUTPUT_FAILED;
    }
  }
  const lock_wait waiting = say_waiting;
  folder_problem problem;
  std::error_code ec;
  left.made_test = !std::filesystem::exists(path_of(test), ec);
  if (const folder_status status = open_test_folder(test, waiting, problem); status != folder_status::ok) {
    if (pending_signal() != 0) return PREPARE_INTERRUPTED;
    return status == folder_status::refused ? (complain(problem.path, problem.message), PREPARE_OUTPUT_FAILED)
                                            : folder_failure(status, problem);
  }
  // The whole folder is read before anything is decoded: a broken one is
  // found at once, and a song that is replaced keeps its seed, and so its names.
  folder_contents contents;
  if (const folder_status status = read_test_folder(test, contents, problem); status != folder_status::ok)
    return folder_failure(status, problem);
  const auto same = std::find_if(contents.songs.begin(), contents.songs.end(),
                                 [&](const song_entry& s) { return s.name == song_name; });
  if (!options.force &&
      (same != contents.songs.end() ||
       std::filesystem::exists(path_of(test + "/" + PUBLIC_FOLDER + "/" + STIMULI_FOLDER + "/" + song_name),
                               ec))) {
    complain(test, "holds the song " + song_name + " already; pass --force to replace it");
    return PREPARE_OUTPUT_FAILED;
  }
  const uint64_t seed = options.seed                   ? *options.seed
                        : same != contents.songs.end() ? same->seed
                                                       : fresh_seed();
  if (pending_signal() != 0) return PREPARE_INTERRUPTED;

  if (const folder_status made = make_staging(test, song_name, left.staging, left.owner, problem);
      made != folder_status::ok) {
    left.staging.clear();
    return folder_failure(made, problem);
  }
  run_guard& guard = left.guard;
  int status = PREPARE_OK;
  const std::string staging = left.staging;
  const std::string prepared_folder = staging + "/prepared";
  const std::string served_folder = staging + "/served";
  for (const std::string& folder : {prepared_folder, served_folder}) {
    std::filesystem::create_directory(path_of(folder), ec);
    if (ec) {
      complain(folder, "cannot make: " + ec.message());
      return PREPARE_OUTPUT_FAILED;
    }
  }
  song_change change{served_folder,       {}, options.mushra_pages,
                     options.path_prefix, {}, options.results_url,
                     options.abx_trials};
  const serving_choices choices{options.excerpt, options.fade_ms, options.names, seed};
  std::string serving_warning;
  prepare_options with_anchors = prepare;
  with_anchors.anchors = options.mushra_pages.value_or(contents.settings.mushra_pages);
  status = prepare_song(with_anchors, choices, prepared_folder, served_folder, guard, change.record,
                        serving_warning);
  if (status != PREPARE_OK) return status;
  // The song's own reports give the preparation's warnings; the record, and
  // so the folder's summary, the serving's too.
  change.private_files = {{"report.txt", report_text(change.record)},
                          {"report.json", report_json(change.record)}};
  if (!serving_warning.empty()) change.record.warnings.push_back(serving_warning);
  if (pending_signal() != 0) return PREPARE_INTERRUPTED;
  if (!prepare.quiet) {
    std::fprintf(stderr, "names: %s, seed %llu (--seed %llu gives the same names again)\n",
                 options.names == naming::blind ? "blind" : "codec", static_cast<unsigned long long>(seed),
                 static_cast<unsigned long long>(seed));
    for (const std::string& warning : change.record.warnings)
      std::fprintf(stderr, "warning: %s\n", printable(warning).c_str());
  }
  // The commit looks at no signal until it is done: a signal that comes
  // meanwhile ends the run afterwards, with the song in.
  bool replaced = false;
  const folder_status committed =
      commit_song(test, change, options.force, waiting, replaced, left.keep_staging, problem);
  if (committed != folder_status::ok) return folder_failure(committed, problem);
  left.committed = true;
  if (!prepare.quiet) {
    std::fprintf(stderr,
                 "%s song %s in %s: %d stimuli of %lld frames; webmushra.yaml, beaqlejs_config.js, "
                 "public/listen/, key.csv and reports rewritten\n",
                 replaced ? "replaced" : "added", printable(song_name).c_str(), printable(test).c_str(),
                 static_cast<int>(change.record.stimuli.size()) + 1,
                 static_cast<long long>(change.record.served.frames));
  }
  return PREPARE_OK;
}

int run(const command_options& options) {
  watch_signals();
  run_leftovers left;
  left.test = options.output.empty() ? default_output(options.prepare.original) : options.output;
  int status = PREPARE_OK;
  try {
    status = prepare_into(options, left);
  } catch (const std::bad_alloc&) {
    complain("", "out of memory");
    status = PREPARE_OUT_OF_MEMORY;
  } catch (const std::exception& e) {
    // Whatever went wrong, the clean-up below runs.
    complain("", std::string("unexpected failure: ") + e.what());
    status = PREPARE_OUTPUT_FAILED;
  }
  take_back(left);
  if (const int signal_number = pending_signal(); signal_number != 0) end_by_signal(signal_number);
  return status == PREPARE_INTERRUPTED ? PREPARE_OUTPUT_FAILED : status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> arguments = program_arguments(argc, argv);
    command_options options;
    std::string problem;
    if (!parse_command_line({arguments.begin() + 1, arguments.end()}, options, problem)) {
      complain("", problem + "\nTry 'abchr-prepare --help' for more information.");
      return PREPARE_USAGE;
    }
    if (options.help) {
      std::fputs(usage_text().c_str(), stdout);
      return std::fflush(stdout) == 0 ? PREPARE_OK : PREPARE_OUTPUT_FAILED;
    }
    if (options.version) {
      std::printf("%s\n", PROGRAM_VERSION);
      return std::fflush(stdout) == 0 ? PREPARE_OK : PREPARE_OUTPUT_FAILED;
    }
    return run(options);
  } catch (const std::bad_alloc&) {
    complain("", "out of memory");
    return PREPARE_OUT_OF_MEMORY;
  } catch (const std::exception& e) {
    complain("", std::string("unexpected failure: ") + e.what());
    return PREPARE_OUTPUT_FAILED;
  }
}
