// beaqlejs's configuration for a test folder: a script that sets
// `var TestConfig = {...}`, whose object is plain JSON (no comments, no
// trailing commas), so that any JSON parser reads it too. One MUSHRA test set
// per song: "Reference" and the stimuli under their served names. beaqlejs
// plays each file in its own audio element and loops by fractions of each
// file's duration, which is why a song's files must be of one length.
#pragma once

#include <string>
#include <vector>

#include "song_record.h"

// The TestID of each song's test set, in the folder's order: letters, digits,
// "-" and "_", one of each however songs are named. beaqlejs's download names
// a test set by it.
std::vector<std::string> beaqlejs_test_ids(const folder_contents& folder);

std::string beaqlejs_config(const folder_contents& folder);
