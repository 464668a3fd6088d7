// The test folder as earlier versions of abchr-prepare left it, with the
// served files (stimuli/ and the front ends' configs) at its top beside the
// key, is brought to the current layout, where they lie in TEST/public/ and
// nothing private does; and a folder without an id gets one.
#pragma once

#include <string>

#include "listening_folder.h"

// 32 lowercase hexadecimal digits from the system's random source: the id by
// which a listener's results name the test folder they were taken in.
std::string new_folder_id();

// Under the folder's lock: moves each served file of the old layout into
// public/, one rename each, so that a run that stops between two of them
// leaves a folder that the next run finishes converting; then gives
// folder.json an id when it has none. Refused when a name is in both places.
folder_status convert_old_layout(const std::string& test, folder_problem& problem);
