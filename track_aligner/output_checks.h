// Checks made before anything is written: what the program writes must never
// land in an input, in a stimulus of the run, or in another of its outputs.
#pragma once

#include "platform.h"

// Standard output and standard error, when they lead to a regular file, must
// not lead to an input (paths[0 .. count - 1]) or to a raw file of the run that
// already exists: the report would be written into it. A stream that does
// stays parked on the null device, so that nothing the program says can land
// there; "Output path is not available." and the path go to the other one, if
// it is not a match too. Every other stream is released. Returns 0 or
// STATUS_OUTPUT_UNAVAILABLE.
int check_standard_streams(console_state& console, const char* const* paths, int count);
