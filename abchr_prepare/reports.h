// The song's report for people (report.txt) and for scripts (report.json),
// made from the record of its preparation.
#pragma once

#include <string>

#include "prepare.h"

// The program's name and version, as both reports and --version give them.
constexpr const char* PROGRAM_VERSION = "abchr-prepare 2.0.0";

std::string report_text(const song_record& song);
std::string report_json(const song_record& song);
