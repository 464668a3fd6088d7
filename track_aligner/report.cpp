#include "report.h"

#include <cmath>

#include "console.h"

void report_head() { say("                     Offset[sample]  Gain    Gain[dB]     Score\r\n"); }

void widen_extremes(const wav_track& track, run_extremes& extremes) {
  if (track.offset < extremes.smallest_delay) extremes.smallest_delay = track.offset;
  if (track.offset > extremes.biggest_delay) extremes.biggest_delay = track.offset;
  if (track.gain > extremes.biggest_gain) extremes.biggest_gain = track.gain;
}

int32_t common_length(const run_extremes& extremes, int32_t shortest_sample) {
  // Each track, shifted by its own offset, still has this many frames left.
  return shortest_sample - (extremes.biggest_delay - extremes.smallest_delay);
}

void report_track(const wav_track& track, bool silent, run_extremes& extremes) {
  if (silent) say("No Sound At All.\r\n");
  widen_extremes(track, extremes);
  say("%s ", track.label);
  say("O:%5d   ", track.offset);
  say("G:%9f  ", track.gain);
  say("G:%9f  ", 20 * std::log10(track.gain));  // a gain of 0 shows as -inf
  say("S:%9f\r\n", track.score);
}

int32_t report_summary(const run_extremes& extremes, int32_t shortest_sample, int32_t initial_offset) {
  const int32_t length = common_length(extremes, shortest_sample);
  say("biggest_delay    : %d\r\n", extremes.biggest_delay);
  say("smallest_delay   : %d\r\n", extremes.smallest_delay);
  say("biggest_gain     : %f\r\n", extremes.biggest_gain);
  say("shortest_sample  : %d\r\n", length);
  say("initial_offset   : %d\r\n", initial_offset);
  return length;
}
