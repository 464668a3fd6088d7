// Inputs checked against themselves before the song is accepted: encoded
// files given twice, decodes that hold nothing, the original's own music, a
// file cut short; and the peak that sets the headroom a clipping song needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wav_track.h"

// For each input that is the same file as an earlier one, or holds the same
// bytes, the index of that earlier one; -1 where none. `error` is the system's
// reason when a file cannot be read.
std::vector<int> repeated_inputs(const std::vector<std::string>& inputs, int& error);

// Every value of the decoded track is 0. (It reads up to the first that is
// not, which for music is at once.)
bool decodes_to_silence(wav_track& track);

// Two decoded tracks of the same length with the same values from their first
// frame on, a 32-bit integer value v being the float v / 2^31.
bool decode_the_same(wav_track& a, wav_track& b);

// The largest magnitude among `frames` frames of the decoded track from frame
// `first`, on the aligner's input scale (full scale 1).
double decoded_peak(wav_track& track, int64_t first, int64_t frames);

// The headroom in dB, rounded up to 0.1 dB, that brings a peak of `peak` on
// the output's 16-bit scale (full scale 32768) to the largest value that is
// not clamped, added to what was asked already.
double headroom_needed(double peak, double asked_db);
