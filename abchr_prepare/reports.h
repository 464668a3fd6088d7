// The song's own report for people (report.txt) and for scripts
// (report.json), rendered from its record once its files are served: each
// stimulus is named by its path in the served half.
#pragma once

#include <string>

#include "song_record.h"

// The program's name and version, as both reports and --version give them.
constexpr const char* PROGRAM_VERSION = "abchr-prepare 2.0.0";

std::string report_text(const song_entry& song);
std::string report_json(const song_entry& song);
