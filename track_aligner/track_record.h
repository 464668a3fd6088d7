// The life of a track record: its initial values, its label and its release.
#pragma once

#include <string>

#include "wav_track.h"

// Gives the record its initial values and its window of ANALYSIS_WINDOW
// values, which the run's working memory holds (run_memory.h).
void init_track(wav_track& track, double* window);
// Gives up the window and closes the input stream, if any.
void release_track(wav_track& track);

// Builds "??? k>name          >" from the index and the base name of the path
// (the part after the last backslash).
void build_label(char (&label)[LABEL_LENGTH + 1], int index, const std::string& path);
