// The alignment report: a table row per decoded track as its search finishes,
// then the extremes of the run and the common output length.
#pragma once

#include <cstdint>

#include "wav_track.h"

// Extremes of the run over the original and every decoded track; the start
// values stand for the original itself, offset 0 and gain 1.
struct run_extremes {
  int32_t biggest_delay = 0;
  int32_t smallest_delay = 0;
  double biggest_gain = 1.0;
};

// Widens the extremes by a decoded track's offset and gain.
void widen_extremes(const wav_track& track, run_extremes& extremes);
// The common output length: shortest_sample less the spread of the offsets.
int32_t common_length(const run_extremes& extremes, int32_t shortest_sample);

// Prints the head of the table.
void report_head();

// Prints a decoded track's row, after "No Sound At All." when its search met a
// silent stretch, and widens the extremes by its offset and gain.
void report_track(const wav_track& track, bool silent, run_extremes& extremes);

// Returns the common output length, shortest_sample less the spread of the
// offsets, after printing it with the extremes and the window's first frame.
int32_t report_summary(const run_extremes& extremes, int32_t shortest_sample, int32_t initial_offset);
