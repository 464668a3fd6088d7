#include "wavmatch.h"

#include <cstdio>
#include <string>

#include "console.h"
#include "offset_search.h"
#include "output_checks.h"
#include "raw_writer.h"
#include "report.h"
#include "run_memory.h"
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

}  // namespace

wavmatch_run::~wavmatch_run() {
  for (wav_track& track : tracks) release_track(track);
  release_run_memory(memory);
}

int load_tracks(wavmatch_run& run, int argc, const char* const* argv) {
  // All the memory the run works in, before any file is opened.
  run.memory = make_run_memory();
  if (run.memory == nullptr) {
    say("Out of memory.\r\n");
    return STATUS_OUT_OF_MEMORY;
  }
  for (int k = 0; k < MAX_TRACKS; ++k) init_track(run.tracks[k], run.memory->windows[k]);
  run.wav_num = argc - 1;
  if (run.wav_num > MAX_TRACKS) {
    say("Too many lossy files : wav_num:%d.\r\n", run.wav_num);
    return STATUS_TOO_MANY_FILES;
  }

  for (int k = 0; k < run.wav_num; ++k) {
    wav_track& track = run.tracks[k];
    run.paths[k] = argv[k + 1];
    track.index = k;
    const int status = read_wav_header(track, run.paths[k]);
    if (status != 0) return status;
    // Inputs of different rates can never be aligned: the result would be noise.
    if (track.sample_rate != run.tracks[0].sample_rate) {
      say("%s Sample rate %d differs from the original's %d.\r\n", track.label,
          static_cast<int>(track.sample_rate), static_cast<int>(run.tracks[0].sample_rate));
      return STATUS_RATE_MISMATCH;
    }
    if (track.frame_num < run.shortest_sample) {
      run.shortest_sample = track.frame_num;
      if (run.shortest_sample <= MINIMAL_WAV_LENGTH) {
        say("MINIMAL_WAV_LENGTH : %d[samples]\r\n", MINIMAL_WAV_LENGTH);
        say("shortest sample num: %d[samples]\r\n", run.shortest_sample);
        say("%s INPUT FILES TOO SHORT.\r\n", track.label);
        return STATUS_TOO_SHORT;
      }
    }
  }
  return STATUS_OK;
}

int analyse_tracks(wavmatch_run& run) {
  for (int k = 0; k < run.wav_num; ++k) run.tracks[k].shortest_sample = run.shortest_sample;
  return capture_windows(run.tracks, run.paths, run.wav_num, run.memory->capture);
}

void search_and_report(wavmatch_run& run) {
  // Each row follows its track's search, so the rows appear as the searches finish.
  report_head();
  for (int k = 1; k < run.wav_num; ++k) {
    const search_result found = find_offset_and_gain(run.tracks[0], run.tracks[k], run.memory->search);
    report_track(run.tracks[k], found.silent, run.extremes);
  }
  // Track 1 holds a copy of the original's initial_offset.
  run.shortest_sample = report_summary(run.extremes, run.shortest_sample, run.tracks[1].initial_offset);
}

int write_outputs(wavmatch_run& run) {
  return write_raw_outputs(run.tracks, run.paths, run.wav_num, run.extremes.smallest_delay,
                           run.extremes.biggest_gain, run.shortest_sample, run.memory->output);
}

int run_wavmatch(console_state& console, int argc, const char* const* argv) {
  if (argc < 3) {
    release_stream(console.out);
    release_stream(console.err);
    print_usage();
    return STATUS_OK;
  }
  // Before the first byte of the report: it must not land in an input or a stimulus.
  if (const int status = check_standard_streams(console, argv + 1, argc - 1); status != 0) return status;
  say("wavmatch v.2.0.0  /  original reference file:%s\r\n", argv[1]);
  wavmatch_run run;
  int status = load_tracks(run, argc, argv);
  if (status == STATUS_OK) status = analyse_tracks(run);
  if (status != STATUS_OK) return status;
  search_and_report(run);
  return write_outputs(run);
}
