// Where the stimuli go: the folder is built under a temporary name beside its
// final place and renamed when complete, so no failure or signal leaves a
// half-made folder under the final name.
#pragma once

#include <string>
#include <vector>

#include "platform.h"

// "ORIGINAL's stem-abchr" beside the original.
std::string default_output(const std::string& original);

// Before any work: the folder may exist only with --force and only when it
// holds this program's report, and neither it nor anything in it may be an
// input. Returns 0 or PREPARE_OUTPUT_FAILED after the message.
int check_output(const std::string& folder, bool force, const std::vector<std::string>& inputs);

// Makes the empty temporary folder beside `folder`, guarded. Returns 0 or
// PREPARE_OUTPUT_FAILED after the message.
int make_work_folder(const std::string& folder, run_guard& guard, std::string& work);

// Puts the complete work folder in place, replacing an earlier run's folder
// (check_output has allowed it), with the guarded signals held back.
int place_folder(const std::string& work, const std::string& folder, run_guard& guard);

// Removes the work folder and all in it after a failure.
void discard_work_folder(const std::string& work, run_guard& guard);
