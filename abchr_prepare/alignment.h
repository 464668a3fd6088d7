// The aligner's phases run on decoded files, and the stimuli written from
// them as 16-bit WAV: the same offsets, gains, scores and sample bytes as
// wavmatch2 gives for the same files.
#pragma once

#include <array>
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
// values, whatever is served, and `dc` gets each channel's mean over them at
// the track's own scale (full scale 1.0). Returns false with the reason in
// `problem`; a file left half written is the caller's to remove.
bool write_stimulus(wavmatch_run& run, int k, double headroom_db, const excerpt_frames& plan,
                    const std::string& path, int& clips, std::array<double, 2>& dc, std::string& problem);

// The level change of a track's stimulus in dB: its gain over the loudest, the
// aligner's headroom and headroom_db.
double stimulus_scale_db(const wavmatch_run& run, int k, double headroom_db);

// Frames [first, first + frames) of track k's run.shortest_sample frames from
// its aligned start, as the aligner's input values (full scale 1.0, each
// exact in single precision), one vector per channel. Returns false with the
// reason in `problem`.
bool read_aligned(wavmatch_run& run, int k, int64_t first, int64_t frames,
                  std::array<std::vector<float>, 2>& channels, std::string& problem);

// Writes an anchor of the reference (track 0): low-passed by `taps`, read
// and filtered a chunk at a time, at the reference's scale lowered by
// headroom_db, every value rounded and clamped as every stimulus's is, then
// cut and faded by the plan. `clips` counts the clamped values of the whole
// stimulus, `peak` is its largest magnitude in 16-bit units before clamping.
// Returns false with the reason in `problem`; a file left half written is
// the caller's to remove.
bool write_anchor(wavmatch_run& run, const std::vector<double>& taps, double headroom_db,
                  const excerpt_frames& plan, const std::string& path, int& clips, double& peak,
                  std::string& problem);
