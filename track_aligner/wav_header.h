// The RIFF WAVE header reader: accepts stereo files of 32-bit integer or float
// samples and leaves the stream at the first sample byte.
#pragma once

#include <string>

#include "wav_track.h"

// Opens the file and reads its header, leaving the stream at the first sample
// byte. Returns 0 or a status from 2 to 7 after printing its messages.
int read_wav_header(wav_track& track, const std::string& path);
// The same on a stream already open at its start in track.fp; `path` names it
// in the messages.
int parse_wav_header(wav_track& track, const std::string& path);
