// The equal-loudness filter written one value at a time with shifted history
// arrays: the reference that the program's block filter must match bit for bit.
#pragma once

#include "loudness_filter.h"

// The filter's state between blocks.
struct loudness_filter {
  // Butterworth stage: last two inputs and outputs.
  double x1 = 0, x2 = 0, h1 = 0, h2 = 0;
  // Yulewalk stage: last ten inputs (outputs of the Butterworth) and outputs.
  double hy[10] = {};
  double y[10] = {};
};

// Feeds one value x and returns the weighted value, each stage one running sum
// in the order of its terms.
double filter_step(loudness_filter& f, double x);
