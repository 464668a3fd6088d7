// The stimuli: headerless 16-bit little-endian stereo files, every one aligned
// to the same moment of the music, of the same length and loudness.
#pragma once

#include <cstdint>
#include <string>

#include "frame_reader.h"
#include "wav_track.h"

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

// What one raw file is made from, part of the run's working memory
// (run_memory.h), which exists before any output does: no allocation can fail
// while a raw file is half written.
struct output_buffers {
  frame_block block;
  unsigned char bytes[BLOCK_FRAMES * 4];
};

// `values` input values (4 bytes each) as output_value gives them, as 16-bit
// little-endian bytes, counting the clipped ones.
void convert_values(const unsigned char* in, int values, bool is_float, double output_scale,
                    unsigned char* out, int& clip_count);

// What became of copying a track's frames.
enum class frame_copy { done, read_failed, input_shrunk, write_failed };

// Reads `frames` frames of the track from where its stream stands and writes
// them to `out` as 16-bit little-endian values, each value as output_value
// gives it, counting the clipped ones. Prints nothing; on read_failed and
// write_failed `error` holds the system's reason.
frame_copy write_scaled_frames(wav_track& track, FILE* out, double output_scale, int32_t frames,
                               output_buffers& buffers, int& clip_count, int& error);

// The factor that brings a track of this gain to the common loudness, the
// loudest of the run OUTPUT_HEADROOM below full scale.
double output_scale_for(double gain, double biggest_gain);

// Output phase: writes every track from its aligned start (its offset less the
// run's smallest_delay) as a raw file of shortest_sample frames, scaled by the
// common headroom over biggest_gain, then gives up its window and closes its
// input. Returns 0, STATUS_OUTPUT_UNAVAILABLE or, on an input read error,
// STATUS_CANNOT_OPEN.
int write_raw_outputs(wav_track* tracks, const std::string* paths, int wav_num, int32_t smallest_delay,
                      double biggest_gain, int32_t shortest_sample, output_buffers& buffers);
