// A look inside the shipped offset search, for tests: the lower bounds it
// proves for the residuals, which must never exceed the residuals themselves.
#pragma once

#include "offset_search.h"

// Fills low[c] (c = 0 .. 9999, offset MIN_OFFSET + c) with the lower bound the
// search can prove for that candidate's complete residual, with every loud
// position and the correlation bound applied; +infinity for a candidate that
// is never taken (it reads a NaN or an infinity, or its gain is infinite).
// Returns false, filling nothing, when the windows end the search before any
// bound is needed (silence, a non-finite reference energy). The search runs
// the loops of `kernels` and works in w.
bool residual_lower_bounds(const double* reference, const double* test, double* low,
                           const kernel_set& kernels, search_workspace& w);
