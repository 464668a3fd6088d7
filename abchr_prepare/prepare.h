// One song's preparation: its original and encoded files probed, decoded in
// parallel, aligned by the aligner's own phases, checked, and written as
// 16-bit stereo WAV stimuli into a folder. It fills the song's record
// (song_entry), which the reports are rendered from; serving and placing the
// stimuli are separate steps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "listening_folder.h"
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
  bool anchors = false;                      // MUSHRA's low-pass anchors as two more stimuli
};

// Prepares the song: decodes into `work` (which exists and is empty; the
// decoded files are gone when this returns), aligns and checks them, plans
// their serving (plan_serving, whose warning it returns in
// `serving_warning`), and writes each served file once, cut and faded, into
// `served` under its served name. Fills the song's record (the song's one
// model) with every number. Files it makes are added to the guard first.
// Prints each failure; returns 0 or a prepare_status.
int prepare_song(const prepare_options& options, const serving_choices& serving, const std::string& work,
                 const std::string& served, run_guard& guard, song_entry& song, std::string& serving_warning);

// Lines on standard error: "abchr-prepare: PATH: TEXT" for a failure,
// "abchr-prepare: TEXT" without a path.
void complain(const std::string& path, const std::string& text);
