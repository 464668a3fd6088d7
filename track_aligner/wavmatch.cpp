#include "wavmatch.h"

#include <cstdio>
#include <limits>
#include <string>

#include "console.h"
#include "offset_search.h"
#include "output_checks.h"
#include "raw_writer.h"
#include "report.h"
#include "track_record.h"
#include "wav_header.h"
#include "wav_track.h"
#include "window_capture.h"

namespace {

// Where users find the tool and its documentation.
constexpr const char* AUTHOR_ADDRESS = "https://abchr-tools.example.org/";

void print_usage() {
  say("Wavmatch ver.2.0.0 (%s)\r\n", AUTHOR_ADDRESS);
  say(" Equalize offset and gain of 32bit float or int 44100Hz wav files.\r\n");
  say("  Then output them as raw, to perform an abc/hr test.\r\n\r\n");
  say("    usage:  wavmatch original.wav lossy1.wav lossy2.wav.....\r\n\r\n");
  say("Detectable offset: %d ~ %d[sample].\r\n\r\n", MIN_OFFSET, MAX_OFFSET);
  say(" Yulewalk filter for 44.1kHz is used to normalize gain.\r\n");
}

// The table of ten records; whatever is still open when the run ends, early or
// not, is closed and freed here.
struct track_table {
  wav_track tracks[MAX_TRACKS] = {};
  std::string paths[MAX_TRACKS];
  ~track_table() {
    for (wav_track& track : tracks) release_track(track);
  }
};

}  // namespace

int run_wavmatch(int argc, const char* const* argv) {
  int32_t shortest_sample = std::numeric_limits<int32_t>::max();
  if (argc < 3) {
    print_usage();
    return STATUS_OK;
  }
  // Before the first byte of the report: it must not land in an input or a stimulus.
  if (const int status = check_standard_streams(argv + 1, argc - 1); status != 0) return status;
  say("wavmatch v.2.0.0  /  original reference file:%s\r\n", argv[1]);

  track_table table;
  wav_track* tracks = table.tracks;
  for (wav_track& track : table.tracks) {
    if (init_track(track) != 0) {
      say("Out of memory.\r\n");
      return STATUS_OUT_OF_MEMORY;
    }
  }
  const int wav_num = argc - 1;
  if (wav_num > MAX_TRACKS) {
    say("Too many lossy files : wav_num:%d.\r\n", wav_num);
    return STATUS_TOO_MANY_FILES;
  }

  for (int k = 0; k < wav_num; ++k) {
    table.paths[k] = argv[k + 1];
    tracks[k].index = k;
    const int status = read_wav_header(tracks[k], table.paths[k]);
    if (status != 0) return status;
    // Inputs of different rates can never be aligned: the result would be noise.
    if (tracks[k].sample_rate != tracks[0].sample_rate) {
      say("%s Sample rate %d differs from the original's %d.\r\n", tracks[k].label,
          static_cast<int>(tracks[k].sample_rate), static_cast<int>(tracks[0].sample_rate));
      return STATUS_RATE_MISMATCH;
    }
    if (tracks[k].frame_num < shortest_sample) {
      shortest_sample = tracks[k].frame_num;
      if (shortest_sample <= MINIMAL_WAV_LENGTH) {
        say("MINIMAL_WAV_LENGTH : %d[samples]\r\n", MINIMAL_WAV_LENGTH);
        say("shortest sample num: %d[samples]\r\n", shortest_sample);
        say("%s INPUT FILES TOO SHORT.\r\n", tracks[k].label);
        return STATUS_TOO_SHORT;
      }
    }
  }

  for (int k = 0; k < wav_num; ++k) {
    if (k != 0) tracks[k].initial_offset = tracks[0].initial_offset;
    tracks[k].shortest_sample = shortest_sample;
    // An over run cannot happen for accepted inputs; only a failing disk stops the run.
    if (capture_window(tracks[k], table.paths[k]) == capture_result::read_error) return STATUS_CANNOT_OPEN;
  }

  // Each row follows its track's search, so the rows appear as the searches finish.
  report_head();
  run_extremes extremes;
  for (int k = 1; k < wav_num; ++k) {
    const search_result found = find_offset_and_gain(tracks[0], tracks[k]);
    report_track(tracks[k], found.silent, extremes);
  }
  // Track 1 holds a copy of the original's initial_offset.
  shortest_sample = report_summary(extremes, shortest_sample, tracks[1].initial_offset);

  if (const int status = check_output_paths(tracks, table.paths, wav_num); status != 0) return status;
  return write_raw_outputs(tracks, table.paths, wav_num, extremes, shortest_sample);
}
