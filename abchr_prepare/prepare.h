// One song's preparation: its original and encoded files probed, decoded in
// parallel, aligned by the aligner's own phases, checked, and written as
// 16-bit stereo WAV stimuli into a folder. The record it returns is what the
// reports are made from; placing the folder is a separate step.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

// Exit statuses of abchr-prepare (a signal ends the program by that signal).
enum prepare_status : int {
  PREPARE_OK = 0,
  PREPARE_USAGE = 1,           // the command line is wrong
  PREPARE_INPUT_REFUSED = 2,   // an input cannot be read or is not what it must be
  PREPARE_DECODER_FAILED = 3,  // a decoder is missing, failed or was killed
  PREPARE_CHECK_FAILED = 4,    // wrong music, an offset at the edge, clipping
  PREPARE_OUTPUT_FAILED = 5,   // the output folder is refused or cannot be written
  PREPARE_OUT_OF_MEMORY = 6,
  // Not an exit status: a signal came, and the caller ends the run by it.
  PREPARE_INTERRUPTED = 7,
};

// The time a decoder or ffprobe may take by default for each minute of the
// input's music (and at least this, for a short or unknown length): a decoder
// runs many times faster than the music plays, so one that takes longer hangs.
constexpr double DEFAULT_DECODER_TIMEOUT = 60;

// At most this many encoded files: the aligner takes nine beside the original.
constexpr int MAX_ENCODED = 9;

struct prepare_options {
  std::string original;
  std::vector<std::string> encoded;
  int jobs = 1;                              // decoders run at a time
  bool quiet = false;                        // no progress lines
  bool resample = false;                     // accept encoded files at another rate, resampled by soxr
  double headroom_db = 0;                    // every stimulus this much lower
  double timeout = DEFAULT_DECODER_TIMEOUT;  // seconds a decoder may take per minute of music
};

struct stimulus_record {
  std::string input;      // the path as given
  std::string codec;      // ffprobe's codec name
  std::string container;  // ffprobe's format name
  long long bitrate = 0;  // bits per second; 0 when unknown
  int input_rate = 0;     // the input's own sample rate
  std::string decoder;    // "ffmpeg" or "opusdec"
  std::string decoder_version;
  std::vector<std::string> decoder_command;  // the argument vector, the decoder's path first
  std::optional<int> predicted_offset;       // from the container's delay, where it carries one
  int offset = 0;                            // measured, frames; 0 for the reference
  double gain = 1;                           // factor; 1 for the reference
  double gain_db = 0;
  double score = 0;
  bool silent = false;  // the compared stretch held no sound
  int clips = 0;        // values beyond the 16-bit range, clamped
  std::string wav;      // the stimulus's file name in the folder
};

struct song_record {
  std::string name;  // the original's file name without its extension
  int sample_rate = 0;
  int channels = 2;
  int32_t frames = 0;  // every stimulus's length
  double headroom_db = 0;
  double output_scale_db = 0;  // the reference's level change, headroom included
  int32_t initial_offset = 0;  // where the aligner's analysis window starts
  stimulus_record reference;
  std::vector<stimulus_record> stimuli;  // one per encoded file, in command-line order
  std::vector<std::string> warnings;
};

// Prepares the song into `folder`, which exists and is empty; decoded
// temporary files live in a subfolder that is gone when this returns. Files it
// makes are added to the guard first. Prints each failure; returns 0 or a
// prepare_status.
int prepare_song(const prepare_options& options, const std::string& folder, run_guard& guard,
                 song_record& song);

// Lines on standard error: "abchr-prepare: PATH: TEXT" for a failure,
// "abchr-prepare: TEXT" without a path.
void complain(const std::string& path, const std::string& text);
