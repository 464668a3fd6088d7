// The files of a test folder that cover every song for the organiser, never
// served to listeners: the key from served names back to the encoded files,
// and the summary of the preparation (report.txt for people, report.json for
// scripts), with each stimulus's offset, gain, score, clips, the song's
// headroom and length, and every warning.
#pragma once

#include <string>

#include "song_record.h"

// CSV (RFC 4180): song,name,file,input,codec,bitrate; the reference's row
// first in each song, its input the original.
std::string key_csv(const folder_contents& folder);
std::string summary_text(const folder_contents& folder);
std::string summary_json(const folder_contents& folder);
