// Cross-correlation of the decoded window with the compared stretch of the
// original for every candidate at once, by fast Fourier transform, with a
// bound on its rounding error. The search uses it to bound the residuals of
// candidates that the loud positions alone cannot rule out (unrelated music).
#pragma once

struct kernel_set;  // offset_search_kernels.h

// correlation[c] receives an approximation of the sum over k = 0 .. 29999 of
// test[c + k] * stretch[k], for c = 0 .. 9999; every value lies within the
// returned error of the exact real sum. test and stretch must be finite.
// `energy` must be at least the sum of squares of test[0 .. 39998] plus that
// of stretch[0 .. 29999]. The transforms run the loops of `kernels`.
double correlate_candidates(const double* test, const double* stretch, double energy, double* correlation,
                            const kernel_set& kernels);
