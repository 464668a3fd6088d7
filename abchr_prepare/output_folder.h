// Where a song's stimuli go: the test folder named after the original by
// default, and the staging folder of a song that did not make it.
#pragma once

#include <string>

#include "platform.h"

// "ORIGINAL's stem-abchr" beside the original.
std::string default_output(const std::string& original);

// Removes the work folder and all in it after a failure.
void discard_work_folder(const std::string& work, run_guard& guard);
