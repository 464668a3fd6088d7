// The main sequence of wavmatch2: loading, analysis, search and report, output,
// each phase over all tracks before the next begins. A phase that can fail
// returns the exit status itself, 0 when the run goes on; the main sequence
// passes on the first that is not 0.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "report.h"
#include "wav_track.h"

struct run_memory;  // run_memory.h

// Everything the run holds: its working memory, the table of ten records, the
// paths beside them and the run-wide values. Whatever is still open when the
// run ends, early or not, is closed and freed with it.
struct wavmatch_run {
  run_memory* memory = nullptr;
  wav_track tracks[MAX_TRACKS] = {};
  std::string paths[MAX_TRACKS];
  int wav_num = 0;  // paths given, the original's included
  int32_t shortest_sample = std::numeric_limits<int32_t>::max();
  run_extremes extremes;

  wavmatch_run() = default;
  wavmatch_run(const wavmatch_run&) = delete;
  wavmatch_run& operator=(const wavmatch_run&) = delete;
  ~wavmatch_run();
};

// Loading, on the program's arguments (its name first, at least two paths):
// the working memory, the ten records, the number of paths,
// then every header in command-line order and the length limit.
int load_tracks(wavmatch_run& run, int argc, const char* const* argv);
// Analysis: every track's window, the original's first.
int analyse_tracks(wavmatch_run& run);
// Search and report: every decoded track's offset and gain with its table row,
// then the summary, which reduces shortest_sample to the common output length.
// Nothing here can fail but memory, which throws std::bad_alloc as everywhere.
void search_and_report(wavmatch_run& run);
// Output: every track's raw file.
int write_outputs(wavmatch_run& run);

// The whole program on its arguments, the program's name first. Returns the
// exit status.
int run_wavmatch(int argc, const char* const* argv);
