// The result files of the three front ends, read into one set of grades:
// webMUSHRA's bs1116.csv and mushra.csv, beaqlejs's downloaded .txt, and the
// listening page's JSON. Each is recognised by its content, not its name, and
// every grade is unblinded through the folder's key as it is read.
#pragma once

#include <string>
#include <string_view>

#include "folder_key.h"
#include "ratings.h"

enum class result_format {
  unknown,
  webmushra_bs1116,
  webmushra_mushra,
  webmushra_other,
  beaqlejs,
  listen_page
};

// The format of a file's text.
result_format detect_format(std::string_view text);

// Reads one result file's text (`path` names it in messages). Returns false
// with the first problem; `set` may then hold part of the file's grades.
bool read_result_file(const std::string& path, std::string_view text, const folder_key& key, rating_set& set,
                      input_problem& problem);
