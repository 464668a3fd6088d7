// The files of a test folder that cover every song for the organiser, never
// served to listeners: the key from served names back to the encoded files,
// and the summary of the preparation (report.txt for people, report.json for
// scripts), with each stimulus's offset, gain, score, clips, the song's
// headroom and length, and every warning.
#pragma once

#include <map>
#include <string>

#include "song_record.h"

// The SHA-256 (hex) of each served file: song -> served name -> hash.
using served_hashes = std::map<std::string, std::map<std::string, std::string>>;

// CSV (RFC 4180, CR LF):
// song,name,file,input,codec,bitrate,sha256,webmushra_page,webmushra_mushra_page,beaqlejs_test_id;
// the reference's row first in each song, its input the original. What
// unblinding needs: the served file's hash (from `hashes`; empty where it
// holds none), the webMUSHRA bs1116 page of the condition (empty for the
// reference), the song's mushra page (empty without them) and its beaqlejs
// TestID. A cell holding a comma, a quote, CR or LF is quoted; a cell that a
// spreadsheet would take for a formula (its first character after any
// leading "'" is "=", "+", "-" or "@") gets one more "'" in front; bytes that
// are not UTF-8 become U+FFFD.
std::string key_csv(const folder_contents& folder, const served_hashes& hashes);
std::string summary_text(const folder_contents& folder);
std::string summary_json(const folder_contents& folder);
