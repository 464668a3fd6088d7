// The track table of wavmatch2: one record per input file, the constants of the
// run and the phases that work on the records.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// One filtered mono value per frame is kept for this many frames of every track.
constexpr int ANALYSIS_WINDOW = 40000;
// A track must have more frames than this to be aligned at all.
constexpr int MINIMAL_WAV_LENGTH = 40000;
// Candidate offsets run from -SEARCH_MARGIN to 3 * SEARCH_MARGIN - 1 (-2500..7499).
constexpr int SEARCH_MARGIN = 2500;
constexpr int MIN_OFFSET = -SEARCH_MARGIN;
constexpr int MAX_OFFSET = 3 * SEARCH_MARGIN - 1;
// The original and up to nine decoded files.
constexpr int MAX_TRACKS = 10;
// Chunks the header reader may step over on its way to "fmt " and "data" together.
constexpr int CHUNK_BUDGET = 10;
// "INT 1>lossy1.wav    >": kind, blank, index digit, '>', 14 name bytes, '>'.
constexpr int LABEL_LENGTH = 21;

// Exit statuses of wavmatch2.
enum wavmatch_status : int {
  STATUS_OK = 0,
  STATUS_TOO_MANY_FILES = 1,
  STATUS_CANNOT_OPEN = 2,
  STATUS_NOT_RIFF = 3,
  STATUS_NOT_PCM = 4,
  STATUS_NOT_STEREO = 5,
  STATUS_NOT_32BIT = 6,
  STATUS_NO_DATA = 7,
  STATUS_TOO_SHORT = 8,
  STATUS_OUTPUT_UNAVAILABLE = 9,
  STATUS_OUT_OF_MEMORY = 10,
};

struct wav_track {
  double* samples;        // analysis window, ANALYSIS_WINDOW filtered values
  double gain;            // factor matching this track to the original
  double score;           // relative residual of the best match
  int32_t frame_num;      // stereo frames in the data chunk
  int32_t shortest_sample;  // least frame count of the run, for the start search
  int32_t offset;         // frames this track's music lies later than the original's
  int64_t data_pos;       // file position of the first sample byte
  int32_t is_float;       // 1: IEEE float samples, 0: 32-bit signed integers
  int32_t index;          // position on the command line, 0 = original
  int32_t initial_offset;  // first frame of the analysis window
  char label[LABEL_LENGTH + 1];
  FILE* fp;               // input stream, binary read
};

// Gives the record its initial values and allocates its window. Returns 0, or
// STATUS_OUT_OF_MEMORY when the window cannot be allocated.
int init_track(wav_track& track);
// Frees the window and closes the input stream, if any.
void release_track(wav_track& track);

// Builds "??? k>name          >" from the index and the base name of the path
// (the part after the last backslash).
void build_label(char (&label)[LABEL_LENGTH + 1], int index, const std::string& path);

// Opens the file and reads its RIFF WAVE header, leaving the stream at the first
// sample byte. Returns 0 or a status from 2 to 7 after printing its messages.
int read_wav_header(wav_track& track, const std::string& path);
// The same on a stream already open at its start in track.fp; `path` names it
// in the messages.
int parse_wav_header(wav_track& track, const std::string& path);

// Streams the track through the equal-loudness filter and fills its window.
// Returns 0 when the window is full, 1 on an over run, STATUS_CANNOT_OPEN (2)
// after "Cannot read" when the input fails with an I/O error.
int capture_window(wav_track& track, const std::string& path);

// Extremes of the run over the original (offset 0, gain 1) and every decoded track.
struct run_extremes {
  int32_t biggest_delay;
  int32_t smallest_delay;
  double biggest_gain;
};

// Search and report phase: searches every decoded track against the original,
// prints the table and the summary, and reduces shortest_sample to the common
// output length.
run_extremes search_and_report(wav_track* tracks, int wav_num, int32_t& shortest_sample);

// Output phase: writes every track as an aligned, equal-length 16-bit raw file.
// Returns 0, STATUS_OUTPUT_UNAVAILABLE or, on an input read error, STATUS_CANNOT_OPEN.
int write_raw_outputs(wav_track* tracks, const std::string* paths, int wav_num,
                      const run_extremes& extremes, int32_t shortest_sample);

// Whole program: the phases over the track table. Returns the exit status.
int run_wavmatch(int argc, const char* const* argv);
