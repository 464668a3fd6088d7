// The plain, one-value-at-a-time aligner of tests/literal_wavmatch.h as a
// program: the same command line as wavmatch2, the same bytes on standard
// output and in the raw files, for inputs that wavmatch2 accepts. The
// whole-run benchmark times wavmatch2 against it.
//
//   literal_wavmatch original.wav lossy1.wav [lossy2.wav ... lossy9.wav]
#include "literal_wavmatch.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
  const std::vector<std::string> paths(argv + 1, argv + argc);
  const int status = literal::run(paths, stdout);
  if (std::fflush(stdout) != 0) return 2;
  return status;
}
