#include "offset_search.h"

#include "console.h"

search_result search_offset(const double* reference, const double* test) {
  return search_offset_literal(reference, test);
}

int find_offset_and_gain(const wav_track& original, wav_track& track) {
  const search_result found = search_offset(original.samples, track.samples);
  if (found.silent) {
    say("No Sound At All.\r\n");
    return 0;
  }
  track.offset = found.offset;
  track.gain = found.gain;
  track.score = found.score;
  return 0;
}
