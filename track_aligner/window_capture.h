// The analysis window: a track streamed through the equal-loudness filter,
// ANALYSIS_WINDOW filtered values kept from the frame where the original's
// music has become audible.
#pragma once

#include <string>

#include "wav_track.h"

enum class capture_result {
  full,        // the window holds ANALYSIS_WINDOW values
  over_run,    // the track ended first: "over run" printed, the rest cleared
  read_error,  // "Cannot read" printed: the input failed with an I/O error
};

// Streams the track from its first frame through the filter and fills its
// window. On the original (index 0) it also decides initial_offset.
capture_result capture_window(wav_track& track, const std::string& path);
