// The equal-loudness filter written one value at a time with shifted history
// arrays: the reference that the program's block filter must match bit for bit.
#pragma once

#include "loudness_filter.h"

// Feeds one value x and returns the weighted value, each stage one running sum
// in the order of its terms.
double filter_step(loudness_filter& f, double x);
