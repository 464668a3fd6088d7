// The life of a track record: its initial values, its label and its release.
#pragma once

#include <string>

#include "wav_track.h"

// Gives the record its initial values and allocates its window. Returns 0, or
// STATUS_OUT_OF_MEMORY when the window cannot be allocated.
int init_track(wav_track& track);
// Frees the window and closes the input stream, if any.
void release_track(wav_track& track);

// Builds "??? k>name          >" from the index and the base name of the path
// (the part after the last backslash).
void build_label(char (&label)[LABEL_LENGTH + 1], int index, const std::string& path);
