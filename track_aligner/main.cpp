// wavmatch2: aligns decoded lossy files to their original in time and level and
// writes them as 16-bit raw stimuli for an ABC/HR listening test.
#include <cstdio>

#include "wav_track.h"

int main(int argc, char** argv) {
  const int status = run_wavmatch(argc, argv);
  std::fflush(stdout);
  return status;
}
