// abchr-prepare: turns one original and its encoded files into a folder of
// verified, aligned, loudness-matched 16-bit WAV stimuli with a report.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "../track_aligner/platform.h"
#include "options.h"
#include "output_folder.h"
#include "platform.h"
#include "prepare.h"
#include "reports.h"
#include "utf8_paths.h"

namespace {

bool write_text_file(const std::string& path, const std::string& text) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  return std::fclose(out) == 0 && written;
}

int write_reports(const std::string& work, const song_record& song, run_guard& guard) {
  for (const auto& [name, text] :
       {std::pair{"report.txt", report_text(song)}, std::pair{"report.json", report_json(song)}}) {
    const std::string path = work + "/" + name;
    guard_file(guard, path);
    if (!write_text_file(path, text)) {
      complain(path, "cannot write: " + system_reason(errno));
      return PREPARE_OUTPUT_FAILED;
    }
  }
  return PREPARE_OK;
}

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

int run(const command_options& options) {
  const prepare_options& prepare = options.prepare;
  if (const int status = check_inputs_exist(prepare); status != PREPARE_OK) return status;
  const std::string folder = options.output.empty() ? default_output(prepare.original) : options.output;
  std::vector<std::string> inputs{prepare.original};
  inputs.insert(inputs.end(), prepare.encoded.begin(), prepare.encoded.end());
  if (const int status = check_output(folder, options.force, inputs); status != PREPARE_OK) return status;

  run_guard guard;
  install_run_guard(guard);
  std::string work;
  int status = make_work_folder(folder, guard, work);
  if (status != PREPARE_OK) return status;
  try {
    song_record song;
    status = prepare_song(prepare, work, guard, song);
    if (status == PREPARE_OK) status = write_reports(work, song, guard);
    if (status == PREPARE_OK) status = place_folder(work, folder, guard);
    if (status == PREPARE_OK && !prepare.quiet) {
      std::fprintf(stderr, "wrote %s: %d stimuli of %d frames, %zu warnings\n", folder.c_str(),
                   static_cast<int>(song.stimuli.size()) + 1, static_cast<int>(song.frames),
                   song.warnings.size());
    }
  } catch (const std::bad_alloc&) {
    complain("", "out of memory");
    status = PREPARE_OUT_OF_MEMORY;
  }
  if (status != PREPARE_OK) discard_work_folder(work, guard);
  release_run_guard();
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
      std::fputs(usage_text(), stdout);
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
