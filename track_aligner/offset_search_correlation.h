// Cross-correlation of the decoded window with the compared stretch of the
// original for every candidate at once, by fast Fourier transform, with a
// bound on its rounding error. The search uses it to bound the residuals of
// candidates that the loud positions alone cannot rule out (unrelated music).
#pragma once

#include <array>
#include <cstddef>

constexpr int TRANSFORM_BITS = 15;
constexpr int TRANSFORM_LENGTH = 1 << TRANSFORM_BITS;  // N
constexpr int FOLDED_LENGTH = TRANSFORM_LENGTH / 2;    // the inverse's length

// The transforms' vector loops read and write whole vectors of up to eight
// doubles at aligned addresses.
constexpr std::size_t TRANSFORM_ALIGNMENT = 64;

// A complex sequence of TRANSFORM_LENGTH values, real and imaginary parts apart.
struct complex_block {
  alignas(TRANSFORM_ALIGNMENT) std::array<double, TRANSFORM_LENGTH> re;
  alignas(TRANSFORM_ALIGNMENT) std::array<double, TRANSFORM_LENGTH> im;
};

// The transforms' working memory, part of the run's (run_memory.h).
struct transform_buffers {
  complex_block half[2];  // each half's transform, in place
  // exp(-2 pi i j / 2h) at h + j, for every half-block length h = 1, 2, 4, ...,
  // N/2 and j < h: each level's twiddles side by side.
  alignas(TRANSFORM_ALIGNMENT) std::array<double, TRANSFORM_LENGTH> twiddle_re;
  alignas(TRANSFORM_ALIGNMENT) std::array<double, TRANSFORM_LENGTH> twiddle_im;
  // exp(+2 pi i m / N) at the bit-reversed position of m (15 - 1 bits), m < N/2.
  alignas(TRANSFORM_ALIGNMENT) std::array<double, FOLDED_LENGTH> fold_re;
  alignas(TRANSFORM_ALIGNMENT) std::array<double, FOLDED_LENGTH> fold_im;
  // Most searches never need the correlation: the twiddles are computed by
  // the first one that does.
  bool twiddles_ready = false;
};

struct kernel_set;  // offset_search_kernels.h

// correlation[c] receives an approximation of the sum over k = 0 .. 29999 of
// test[c + k] * stretch[k], for c = 0 .. 9999; every value lies within the
// returned error of the exact real sum. test and stretch must be finite.
// `energy` must be at least the sum of squares of test[0 .. 39998] plus that
// of stretch[0 .. 29999]. The transforms run the loops of `kernels` and work
// in b.
double correlate_candidates(const double* test, const double* stretch, double energy, double* correlation,
                            const kernel_set& kernels, transform_buffers& b);
