// beaqlejs's configuration for a test folder: a script that sets
// `var TestConfig = {...}`, whose object is plain JSON (no comments, no
// trailing commas), so that any JSON parser reads it too. One MUSHRA test set
// per song: "Reference" and the stimuli under their served names. beaqlejs
// plays each file in its own audio element and loops by fractions of each
// file's duration, which is why a song's files must be of one length.
#pragma once

#include <string>

#include "song_record.h"

std::string beaqlejs_config(const folder_contents& folder);
