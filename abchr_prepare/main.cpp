// abchr-prepare: turns one original and its encoded files into a folder of
// verified, aligned, loudness-matched 16-bit WAV stimuli with a report.
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
#include "listening_folder.h"
#include "options.h"
#include "output_folder.h"
#include "platform.h"
#include "prepare.h"
#include "reports.h"
#include "utf8_paths.h"

namespace {

// Every input must be a file that can be read before any decoder sees it.
int check_inputs_exist(const prepare_options& options) {
  std::vector<std::string> inputs{options.original};
  inputs.insert(inputs.end(), options.encoded.begin(), options.encoded.end());
  for (const std::string& input : inputs) {
    std::error_code ec;
    const std::filesystem::path path = path_of(input);
    if (!std::filesystem::is_regular_file(path, ec)) {
      complain(input, std::filesystem::exists(path, ec) ? "is not a file" : "no such file");
      return PREPARE_INPUT_REFUSED;
    }
  }
  return PREPARE_OK;
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
  complain(problem.path,
           problem.error != 0 ? problem.message + ": " + system_reason(problem.error) : problem.message);
  return status == folder_status::refused ? PREPARE_CHECK_FAILED : PREPARE_OUTPUT_FAILED;
}

// The song as the test folder takes it: the prepared files and the numbers of
// the preparation.
prepared_song as_prepared(const std::string& folder, const std::string& original, const song_record& song) {
  prepared_song p;
  p.folder = folder;
  p.reference_wav = song.reference.wav;
  song_entry& r = p.record;
  r.name = song.name;
  r.original = original;
  r.rate = song.sample_rate;
  r.channels = song.channels;
  r.common_frames = song.frames;
  r.headroom_db = song.headroom_db;
  r.warnings = song.warnings;
  for (const stimulus_record& s : song.stimuli) {
    p.stimulus_wavs.push_back(s.wav);
    stimulus_entry e;
    e.input = s.input;
    e.codec = s.codec;
    e.container = s.container;
    e.bitrate = s.bitrate;
    e.decoder = s.decoder + (s.decoder_version.empty() ? "" : " " + s.decoder_version);
    if (s.predicted_offset) e.predicted_offset = *s.predicted_offset;
    e.offset = s.offset;
    e.gain = s.gain;
    e.gain_db = s.gain_db;
    e.score = s.score;
    e.clips = s.clips;
    r.stimuli.push_back(e);
  }
  return p;
}

uint64_t fresh_seed() {
  std::random_device random;
  return (static_cast<uint64_t>(random()) << 32) ^ random();
}

void say_waiting(const std::string& test) {
  std::fprintf(stderr, "waiting for another abchr-prepare to finish its change of %s\n", test.c_str());
}

int run(const command_options& options) {
  const prepare_options& prepare = options.prepare;
  if (const int status = check_inputs_exist(prepare); status != PREPARE_OK) return status;
  const std::string test = options.output.empty() ? default_output(prepare.original) : options.output;
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
  const bool made_here = !std::filesystem::exists(path_of(test), ec);
  if (const folder_status status = open_test_folder(test, waiting, problem); status != folder_status::ok) {
    return status == folder_status::refused ? (complain(problem.path, problem.message), PREPARE_OUTPUT_FAILED)
                                            : folder_failure(status, problem);
  }
  if (!options.force &&
      std::filesystem::exists(path_of(test + "/" + PUBLIC_FOLDER + "/" + STIMULI_FOLDER + "/" + song_name),
                              ec)) {
    // made_here is false: a folder that holds a song existed before the run.
    complain(test, "holds the song " + song_name + " already; pass --force to replace it");
    return PREPARE_OUTPUT_FAILED;
  }
  const uint64_t seed = options.seed ? *options.seed : fresh_seed();

  run_guard guard;
  install_run_guard(guard);
  std::string staging;
  int status = PREPARE_OK;
  hold_signals();
  if (made_here) {
    // A signal before the song is in takes back the folder this run made,
    // which then holds only these (an rmdir of a folder in use fails).
    guard.files = {test + "/" + SETTINGS_FILE, test + "/" + LOCK_FILE};
    guard.folders = {test};
  }
  folder_status made = make_staging(test, song_name, staging, problem);
  if (made == folder_status::ok) guard.folders.push_back(staging);
  release_signals();
  if (made != folder_status::ok) {
    release_run_guard();
    if (made_here) forget_new_test_folder(test);
    return folder_failure(made, problem);
  }
  try {
    const std::string prepared_folder = staging + "/prepared";
    const std::string served_folder = staging + "/served";
    for (const std::string& folder : {prepared_folder, served_folder}) {
      guard_folder(guard, folder);
      std::filesystem::create_directory(path_of(folder), ec);
      if (ec) {
        complain(folder, "cannot make: " + ec.message());
        status = PREPARE_OUTPUT_FAILED;
      }
    }
    song_record song;
    if (status == PREPARE_OK) status = prepare_song(prepare, prepared_folder, guard, song);
    song_change change{served_folder,       {}, options.mushra_pages,
                       options.path_prefix, {}, options.results_url,
                       options.abx_trials};
    if (status == PREPARE_OK) {
      serving_choices choices{options.excerpt, options.fade_ms, options.names, seed};
      const folder_status served =
          serve_song(as_prepared(prepared_folder, prepare.original, song), choices, served_folder,
                     change.record, problem, [&](const std::string& path) { guard_file(guard, path); });
      if (served != folder_status::ok) status = folder_failure(served, problem);
    }
    if (status == PREPARE_OK) {
      // The song's own reports name the served files, as the key does: by
      // their paths in the served half.
      const std::string served_at = std::string(STIMULI_FOLDER) + "/" + song_name + "/";
      song.reference.wav = served_at + REFERENCE_NAME + ".wav";
      for (std::size_t k = 0; k < song.stimuli.size(); ++k) {
        song.stimuli[k].wav = served_at + change.record.stimuli[k].name + ".wav";
      }
      change.private_files = {{"report.txt", report_text(song)}, {"report.json", report_json(song)}};
      if (!prepare.quiet) {
        std::fprintf(stderr, "names: %s, seed %llu (--seed %llu gives the same names again)\n",
                     options.names == naming::blind ? "blind" : "codec",
                     static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
        for (const std::string& warning : change.record.warnings)
          std::fprintf(stderr, "warning: %s\n", warning.c_str());
      }
      bool replaced = false;
      const folder_status committed = commit_song(test, change, waiting, replaced, problem);
      if (committed == folder_status::ok && made_here) {
        hold_signals();
        guard.files.erase(guard.files.begin(), guard.files.begin() + 2);
        guard.folders.erase(guard.folders.begin());
        release_signals();
      }
      if (committed != folder_status::ok) {
        status = folder_failure(committed, problem);
      } else if (!prepare.quiet) {
        std::fprintf(stderr,
                     "%s song %s in %s: %d stimuli of %lld frames; webmushra.yaml, beaqlejs_config.js, "
                     "public/listen/, "
                     "key.csv and reports rewritten\n",
                     replaced ? "replaced" : "added", song_name.c_str(), test.c_str(),
                     static_cast<int>(song.stimuli.size()) + 1,
                     static_cast<long long>(change.record.served.frames));
      }
    }
  } catch (const std::bad_alloc&) {
    complain("", "out of memory");
    status = PREPARE_OUT_OF_MEMORY;
  }
  discard_work_folder(staging, guard);
  release_run_guard();
  if (status != PREPARE_OK && made_here) forget_new_test_folder(test);
  return status;
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
  }
}
