// Writes the inputs of the whole-run cases, one folder per case, for runs of
// other builds of wavmatch2 to compare (scripts/cross-check.sh):
//   make_whole_run_inputs FOLDER
// makes FOLDER/<case>/ with the WAV files and `arguments`, their names in the
// order they are given to wavmatch2, one a line.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "wav_writer.h"
#include "whole_run_cases.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_whole_run_inputs FOLDER\n");
    return 2;
  }
  for (const whole_run_rows::whole_run_case& c : whole_run_rows::cases()) {
    const std::filesystem::path folder = std::filesystem::path(argv[1]) / c.name;
    std::filesystem::create_directories(folder);
    std::ofstream arguments(folder / "arguments", std::ios::binary);
    for (const whole_run_rows::named_file& f : c.files()) {
      write_file((folder / f.name).string(), f.content);
      arguments << f.name << '\n';
    }
    if (!arguments.flush()) {
      std::fprintf(stderr, "cannot write %s\n", (folder / "arguments").string().c_str());
      return 1;
    }
  }
  return 0;
}
