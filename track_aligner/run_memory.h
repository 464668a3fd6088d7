// The run's working memory in one record, as a library that keeps its whole
// state in one record its caller owns: the analysis windows of the ten track
// records and the workspaces of the capture, the search and the output. The
// main sequence makes it before the first file is opened and hands each stage
// the part it works in; no stage keeps memory of its own between calls.
//
// It lies in one block of large pages (platform.h): touched page by page, the
// windows alone would cost a thousand page faults. It has no destructor, so
// the C library has nothing to register and nothing to run at the end.
#pragma once

#include "offset_search_internal.h"
#include "raw_writer.h"
#include "wav_track.h"
#include "window_capture.h"

struct run_memory {
  capture_workspace capture;
  output_buffers output;
  search_workspace search;
  double windows[MAX_TRACKS][ANALYSIS_WINDOW];  // track k's window is windows[k]
};

// Makes the record; the windows' values are not set. Returns nullptr when
// there is no memory for it.
run_memory* make_run_memory();
// Gives the record back; does nothing for nullptr.
void release_run_memory(run_memory* memory);
