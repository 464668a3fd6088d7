// The chief header of wavmatch2: the record of one input file, which every
// phase reads and writes, and the constants and exit statuses of the run. Each
// phase declares its own interface in its own header.
#pragma once

#include <cfloat>
#include <cstdint>
#include <cstdio>

// Every sum is rounded to double after each operation, so that the printed
// numbers and the written bytes are the same on every processor. A target that
// keeps intermediate results wider (the x87 unit of 32-bit x86 without SSE2)
// would round differently.
static_assert(FLT_EVAL_METHOD == 0, "doubles must be evaluated in double precision");

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
  STATUS_RATE_MISMATCH = 11,
};

struct wav_track {
  double* samples;          // analysis window, ANALYSIS_WINDOW filtered values
  double gain;              // factor matching this track to the original
  double score;             // relative residual of the best match
  int32_t frame_num;        // stereo frames in the data chunk
  int32_t shortest_sample;  // least frame count of the run, for the start search
  int32_t offset;           // frames this track's music lies later than the original's
  int64_t data_pos;         // file position of the first sample byte
  int32_t is_float;         // 1: IEEE float samples, 0: 32-bit signed integers
  uint32_t sample_rate;     // frames per second, from the header
  int32_t index;            // position on the command line, 0 = original
  int32_t initial_offset;   // first frame of the analysis window
  char label[LABEL_LENGTH + 1];
  FILE* fp;  // input stream, binary read
};
