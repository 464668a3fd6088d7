// The analysis window: a track streamed through the equal-loudness filter,
// ANALYSIS_WINDOW filtered values kept from the frame where the original's
// music has become audible.
#pragma once

#include <string>

#include "frame_reader.h"
#include "wav_track.h"

// Tracks captured side by side: filter_lanes takes an even number of lanes,
// an odd count gets one silent lane more.
constexpr int CAPTURE_LANES = MAX_TRACKS + MAX_TRACKS % 2;
constexpr int X_HISTORY = 2;    // frames of history the Butterworth stage reads
constexpr int HY_HISTORY = 10;  // and the Yulewalk stage

// The weighted values are made CAPTURE_CHUNK frames at a time, each chunk
// read by the capture while it is still in the cache.
constexpr int CAPTURE_CHUNK = 1024;

// The capture's working memory, part of the run's (run_memory.h): one block of
// frames as read, every track's sums of that block and the values of one chunk
// on the way through the filter, interleaved by frame (filter_lanes) after the
// history carried over from the frames before.
struct capture_workspace {
  frame_block block;
  double x[(X_HISTORY + BLOCK_FRAMES) * CAPTURE_LANES];    // the two channels added
  double h[(HY_HISTORY + CAPTURE_CHUNK) * CAPTURE_LANES];  // after the high-pass
  double y[(HY_HISTORY + CAPTURE_CHUNK) * CAPTURE_LANES];  // weighted
};

// Streams each of `count` tracks from its first frame through the filter and
// fills its window, all side by side. When tracks[0] is the original (index
// 0), it decides initial_offset, which the other tracks then take; otherwise
// each keeps the one it has. A track that ends before its window is full
// ("over run", unreachable for the tracks the loader accepts) has the rest of
// its window cleared and does not stop the run. Returns 0, or
// STATUS_CANNOT_OPEN after "Cannot read" for the first track whose input
// fails; messages come in the order of the tracks.
int capture_windows(wav_track* tracks, const std::string* paths, int count, capture_workspace& work);
