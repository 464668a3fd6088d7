// The alignment report: one row per decoded track as its search finishes, then
// the extremes of the run and the common output length.
#include <cmath>

#include "console.h"
#include "offset_search.h"
#include "wav_track.h"

run_extremes search_and_report(wav_track* tracks, int wav_num, int32_t& shortest_sample) {
  say("                     Offset[sample]  Gain    Gain[dB]     Score\r\n");
  // The start values stand for the original itself: offset 0, gain 1.
  run_extremes extremes{0, 0, 1.0};
  for (int k = 1; k < wav_num; ++k) {
    wav_track& track = tracks[k];
    find_offset_and_gain(tracks[0], track);
    if (track.offset < extremes.smallest_delay) extremes.smallest_delay = track.offset;
    if (track.offset > extremes.biggest_delay) extremes.biggest_delay = track.offset;
    if (track.gain > extremes.biggest_gain) extremes.biggest_gain = track.gain;
    say("%s ", track.label);
    say("O:%5d   ", track.offset);
    say("G:%9f  ", track.gain);
    say("G:%9f  ", 20 * std::log10(track.gain));  // a gain of 0 shows as -inf
    say("S:%9f\r\n", track.score);
  }
  // Each track, shifted by its own offset, still has this many frames left.
  shortest_sample = shortest_sample - (extremes.biggest_delay - extremes.smallest_delay);
  say("biggest_delay    : %d\r\n", extremes.biggest_delay);
  say("smallest_delay   : %d\r\n", extremes.smallest_delay);
  say("biggest_gain     : %f\r\n", extremes.biggest_gain);
  say("shortest_sample  : %d\r\n", shortest_sample);
  say("initial_offset   : %d\r\n", tracks[1].initial_offset);
  return extremes;
}
