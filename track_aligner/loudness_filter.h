// The equal-loudness weighting used before matching: a 2nd-order Butterworth
// high-pass at 150 Hz followed by a 10th-order Yulewalk filter that follows the
// inverted equal-loudness contour, both designed for 44100 Hz (the ReplayGain
// weighting). The filter takes one input value and returns one output value;
// reading the files lives elsewhere.
#pragma once

struct loudness_filter {
  // Butterworth stage: last two inputs and outputs.
  double x1 = 0, x2 = 0, h1 = 0, h2 = 0;
  // Yulewalk stage: last ten inputs (outputs of the Butterworth) and outputs.
  double hy[10] = {};
  double y[10] = {};
};

// Feeds one value x (the sum of the two channels, full scale 1.0 each) and
// returns the weighted value. Each stage is one running sum in the order of
// its terms, in double precision, so that results are the same on every build.
double filter_step(loudness_filter& f, double x);

// Runs a block of values through the filter, continuing from its state. Gives
// the same values as filter_step, value for value.
void filter_run(loudness_filter& f, const double* in, double* out, int count);

// Runs count values through a fresh filter: out[i] is the output for in[i].
void filter_block(const double* in, double* out, int count);
