// Cutting the same stretch of music from every stimulus of a song, with the
// same fades at both ends. The stimuli are aligned and of equal length, so the
// same frame numbers hold the same music in each; a listener then compares
// excerpts that start and stop at the same instant.
//
// The fades are linear ramps computed in integers: frame i of a fade of F
// frames is scaled by i / F, rounded to the nearest value (halves away from
// zero). The first and the last frame of a faded excerpt are therefore
// silent, the frames from F on are the stimulus's own, and every system
// writes the same bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// --excerpt START,LENGTH in seconds, as written ("30,10", "1.5,8.25").
struct excerpt_seconds {
  double start = 0;
  double length = 0;
};
std::optional<excerpt_seconds> parse_excerpt(std::string_view text);
// --fade MS: whole milliseconds, 0 to 10000.
std::optional<int> parse_fade(std::string_view text);

// The fade when none is asked for: 20 ms with an excerpt, which starts and
// stops in the middle of the music; 5 ms on a whole song, whose first and
// last values are rarely 0, so that a loop of it does not click where the end
// meets the start (5 ms is below what a listener hears as a fade, and leaves
// the music's own attack and decay alone).
constexpr int DEFAULT_EXCERPT_FADE_MS = 20;
constexpr int DEFAULT_WHOLE_FADE_MS = 5;

// What a song's stimuli become, in frames of the song's rate.
struct excerpt_frames {
  int64_t start = 0;
  int64_t frames = 0;  // the served length
  int64_t fade = 0;    // frames of each ramp
};

enum class excerpt_status { ok, beyond_length, fade_too_long };

// Frames from seconds and milliseconds at `rate` (each rounded to the nearest
// frame), checked against the song's common length; without an excerpt, the
// whole common length.
excerpt_status plan_excerpt(const std::optional<excerpt_seconds>& excerpt, int fade_ms, int64_t rate,
                            int64_t common_frames, excerpt_frames& plan);

// The ramp's value for one sample at frame i of a fade of `fade` frames
// (0 <= i < fade).
int16_t faded_sample(int16_t sample, int64_t i, int64_t fade);
// Fades in the first plan.fade frames and out the last ones of interleaved
// samples holding plan.frames frames.
void apply_fades(std::vector<int16_t>& samples, int channels, int64_t fade);
