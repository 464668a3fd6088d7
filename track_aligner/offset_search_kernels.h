// Inner loops of the offset and gain search. Each loop runs 16 candidate
// offsets side by side, one vector lane per candidate, and keeps every lane's
// sum one running sum in ascending position, so that a lane's result carries
// the same bits as the one-candidate-at-a-time loop. The loops run in four
// lanes with AVX2 where an x86 processor has it (the transform's levels in
// eight with AVX-512), and otherwise in GNU vectors of two doubles: SSE2 on
// x86, NEON on aarch64, whatever the compiler makes of them elsewhere.
// Every set the build holds sits in one table; the search runs the widest one
// the processor supports, and the tests run each of them.
#pragma once

#include <span>

// Candidates are handled in groups of this many consecutive offsets; four
// groups make one batch of the exact sums.
constexpr int GROUP_WIDTH = 4;
constexpr int BATCH_GROUPS = 4;
constexpr int BATCH_LANES = GROUP_WIDTH * BATCH_GROUPS;

// Positions of the original whose terms give the lower bounds of the residual,
// with each value widened by its rounding margin.
struct bound_pool {
  int count;
  const int* position;  // index into the compared stretch, 0 .. 29999
  const double* above;  // reference value plus margin
  const double* below;  // reference value minus margin
};

// One group of four consecutive candidates for the lower bound of the residual:
// test[window + position] is the decoded value that meets each pool position
// for the group's first candidate.
struct bound_group {
  int window;       // first decoded position of the group's first candidate
  double gain_low;  // every lane's gain lies in [gain_low, gain_high]
  double gain_high;
  double margin;  // rounding margin of the decoded value times the gain
};

// One set of the loops, compiled for one instruction set.
struct kernel_set {
  const char* name;     // "baseline", "avx2", "avx512"
  bool (*supported)();  // whether this processor runs the set

  // Test energies of a batch: energy[4 * q + j] is the sum of test[i]^2 over
  // the REFERENCE_LENGTH positions from window[q] + j, in ascending order.
  void (*sum_batch_energies)(const double* test, const int (&window)[BATCH_GROUPS],
                             double (&energy)[BATCH_LANES]);

  // Residuals of a batch: for lane 4 * q + j, e = test[window[q] + j + k] *
  // gain - stretch[k], then residual = residual + e * e, for k ascending.
  // Stops once every lane whose `active` flag is set has a partial residual
  // above `best` and then returns false; returns true when all sums are complete.
  bool (*sum_batch_residuals)(const double* stretch, const double* test, const int (&window)[BATCH_GROUPS],
                              const double (&gain)[BATCH_LANES], const bool (&active)[BATCH_LANES],
                              double best, double (&residual)[BATCH_LANES]);

  // For each of `count` groups, adds to its four entries of `bound`
  // (GROUP_WIDTH a group) the squared least distances, over the gain interval
  // and after the rounding margins, between the group's decoded values and the
  // reference values of pool entries from .. to - 1. The decoded values read
  // must be finite.
  void (*add_bound_terms)(const double* test, const bound_pool& pool, int from, int to,
                          const bound_group* group, int count, double* bound);

  // One level of radix-2 butterflies of a Fourier transform over separate real
  // and imaginary parts: the blocks of 2h values from `first` to `end`, each
  // split at h, with twiddles (w_re[j], w_im[j]) = exp(-2 pi i j / 2h), j < h.
  // Forward (decimation in frequency): a + c and (a - c) w. Inverse
  // (decimation in time, conjugate twiddles): a + c w and a - c w. Every lane
  // rounds as the one-value-at-a-time butterfly does.
  void (*transform_level)(double* re, double* im, int first, int end, int h, const double* w_re,
                          const double* w_im, bool inverse);
  // The two levels of blocks of 4 and 2 values together (h = 2, then 1; the
  // inverse h = 1, then 2), with each level's twiddles at `twiddle` + h.
  void (*transform_short_levels)(double* re, double* im, int first, int end, const double* twiddle_re,
                                 const double* twiddle_im, bool inverse);
};

// Every set this build holds, the portable two-double one first, the widest last.
std::span<const kernel_set> kernel_sets();

// The widest set of the table that this processor supports.
const kernel_set& widest_kernels();
