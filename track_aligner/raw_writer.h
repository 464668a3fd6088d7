// The stimuli: headerless 16-bit little-endian stereo files, every one aligned
// to the same moment of the music, of the same length and loudness.
#pragma once

#include <cstdint>
#include <string>

// Limits of an output value; a little below 16-bit full scale.
constexpr int OUTPUT_LIMIT = 32700;
// The loudest track is written 1.2 times (about 1.58 dB) below full scale.
constexpr double OUTPUT_HEADROOM = 1.2;

// "song32b.wav" gives "song.raw", anything else gets ".raw" appended.
std::string raw_path_for(const std::string& input_path);

// One input value at full scale 1.0. Integer samples are scaled by 2^-31 and
// rounded to single precision, as float samples already are.
double input_value(const unsigned char* bytes, bool is_float);

// value * output_scale rounded toward minus infinity, clamped to the limits;
// clip_count counts each clamped value. A value that is not a number is
// written as 0 and counted too.
int output_value(double value, double output_scale, int& clip_count);
