// The analysis window: a track streamed through the equal-loudness filter,
// ANALYSIS_WINDOW filtered values kept from the frame where the original's
// music has become audible.
#pragma once

#include <string>

#include "frame_reader.h"
#include "wav_track.h"

// The capture's working memory, part of the run's (run_memory.h): one block of
// frames and its values on the way through the filter.
struct capture_workspace {
  frame_block block;
  double sums[BLOCK_FRAMES];      // the two channels added
  double weighted[BLOCK_FRAMES];  // and filtered
};

// Streams the track from its first frame through the filter and fills its
// window. On the original (index 0) it also decides initial_offset. A track
// that ends before the window is full ("over run", unreachable for the tracks
// the loader accepts) has the rest of its window cleared and does not stop the
// run. Returns 0, or STATUS_CANNOT_OPEN after "Cannot read" when the input
// fails.
int capture_window(wav_track& track, const std::string& path, capture_workspace& work);
