// The main sequence of wavmatch2: loading, analysis, search and report, output,
// each phase over all tracks before the next begins.
#pragma once

// The whole program on its arguments, the program's name first. Returns the
// exit status.
int run_wavmatch(int argc, const char* const* argv);
