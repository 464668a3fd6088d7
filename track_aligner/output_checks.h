// Checks made before anything is written: what the program writes must never
// land in an input, in a stimulus of the run, or in another of its outputs.
#pragma once

#include <string>

#include "wav_track.h"

// Standard output and standard error, when they lead to a regular file, must
// not lead to an input (paths[0 .. count - 1]) or to a raw file of the run that
// already exists: the report would be written into it. On such a match nothing
// is written to that stream; "Output path is not available." and the path go
// to the other one, if it is not a match too. Returns 0 or
// STATUS_OUTPUT_UNAVAILABLE.
int check_standard_streams(const char* const* paths, int count);

// Every raw path of the run, before the first is written: it must be free to
// be a regular file (not a folder, not too long for the system) and must not
// be an input, standard output or another track's raw path. On a failure
// "Output path is not available." and a line on standard error that names
// the path and the reason. Returns 0 or STATUS_OUTPUT_UNAVAILABLE.
int check_output_paths(const wav_track* tracks, const std::string* paths, int wav_num);
