// Offset and gain search: slides a decoded track's analysis window against a
// fixed stretch of the original's and keeps the best gain-corrected match.
#pragma once

#include <limits>

#include "wav_track.h"

// Positions 2500..32499 of the original's window are compared.
constexpr int REFERENCE_BEGIN = SEARCH_MARGIN;
constexpr int REFERENCE_END = ANALYSIS_WINDOW - 3 * SEARCH_MARGIN;  // one past 32499
constexpr int REFERENCE_LENGTH = REFERENCE_END - REFERENCE_BEGIN;   // 30000
// Residual that every candidate must beat: none, so that the smallest residual
// wins however loud the tracks are (float files may hold values far beyond
// full scale). Only a candidate whose residual is infinite or not a number is
// never taken.
constexpr double INITIAL_BEST_RESIDUAL = std::numeric_limits<double>::infinity();

struct kernel_set;  // offset_search_kernels.h
namespace search_internal {
struct search_workspace;
}
// The search's working memory (offset_search_internal.h), part of the run's.
using search_workspace = search_internal::search_workspace;

struct search_result {
  bool silent;  // a stretch had no energy at all: offset 0, gain 1, score 0
  int offset;
  double gain;
  double score;
};

// The candidate offsets' best match. Its bits are those of the literal search:
// every candidate's test energy summed afresh, then gain = sqrt(reference
// energy / test energy) and every residual summed in ascending order, stopping
// once it exceeds the best so far; the smallest residual wins, the most
// negative offset among equals. (The tests keep that search as the reference.)
// Its inner loops are those of `kernels`; every set gives the same bits. It
// works in w.
search_result search_offset(const double* reference, const double* test, const kernel_set& kernels,
                            search_workspace& w);

// Runs the search for one decoded track against the original, with the widest
// loops the processor supports, and stores offset, gain and score in it; a
// track whose stretch is silent keeps its own.
search_result find_offset_and_gain(const wav_track& original, wav_track& track, search_workspace& w);
