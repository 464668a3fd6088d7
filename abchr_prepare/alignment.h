// The aligner's phases run on decoded files, and the stimuli written from
// them as 16-bit WAV: the same offsets, gains, scores and sample bytes as
// wavmatch2 gives for the same files.
#pragma once

#include <string>
#include <vector>

#include "excerpt.h"
#include "wavmatch.h"

// Loading, analysis and the search, without the report's table; `silent`
// tells for each track whether its compared stretch held no sound. Returns 0
// or the aligner's status after its messages.
int align_decoded(const std::vector<std::string>& decoded, wavmatch_run& run, std::vector<bool>& silent);

// Writes track k as a 16-bit stereo PCM WAV at the aligner's scale lowered by
// headroom_db: of its run.shortest_sample frames from its aligned start, the
// plan's excerpt, faded in and out, straight into its served file. Every
// frame is converted, so that `clips` counts the whole stimulus's clipped
// values, whatever is served. Returns false with the reason in `problem`; a
// file left half written is the caller's to remove.
bool write_stimulus(wavmatch_run& run, int k, double headroom_db, const excerpt_frames& plan,
                    const std::string& path, int& clips, std::string& problem);

// The level change of a track's stimulus in dB: its gain over the loudest, the
// aligner's headroom and headroom_db.
double stimulus_scale_db(const wavmatch_run& run, int k, double headroom_db);
