// The equal-loudness weighting used before matching: a 2nd-order Butterworth
// high-pass at 150 Hz followed by a 10th-order Yulewalk filter that follows the
// inverted equal-loudness contour, both designed for 44100 Hz (the ReplayGain
// weighting). The filter takes values and gives values; reading the files lives
// elsewhere.
#pragma once

#include <span>

// Butterworth high-pass, 150 Hz at 44100 Hz. b multiplies x[n-k], a multiplies
// h[n-k]; signs as they enter the sum (the denominator is 1, -a1, -a2).
constexpr double BW_B0 = 0.98500175787242;
constexpr double BW_B1 = -1.97000351574484;
constexpr double BW_B2 = 0.98500175787242;
constexpr double BW_A1 = 1.96977855582618;
constexpr double BW_A2 = -0.9702284756635;

// Yulewalk equal-loudness stage for 44100 Hz. YW_B[k] multiplies h[n-k] and
// YW_A[k] multiplies y[n-k] (YW_A[0] unused); signs as they enter the sum.
constexpr double YW_B[11] = {0.0541865640643,   -0.02911007808948, -0.00848709379851, -0.00851165645469,
                             -0.00834990904936, 0.02245293253339,  -0.02596338512915, 0.01624864962975,
                             -0.00240879051584, 0.00674613682247,  -0.00187763777362};
constexpr double YW_A[11] = {0.0,
                             3.47845948550071,
                             -6.36317777566148,
                             8.54751527471874,
                             -9.4769360780128,
                             8.81498681370155,
                             -6.85401540936998,
                             4.39470996079559,
                             -2.19611684890774,
                             0.75104302451432,
                             -0.13149317958808};

// Filters several tracks side by side. Each stage is one running sum in the
// order of its terms, in double precision, so that results are the same on
// every build and do not depend on how the values are split into blocks. The
// lanes' independent sums are interleaved so that the processor works on
// several at once instead of waiting for each sum's previous term.
// Values are interleaved by frame, frame i of lane l at [i * lanes + l], and
// `lanes` is even. x holds the inputs, h the Butterworth stage's outputs and y
// the weighted values; before index 0, x holds the last 2 frames of the
// previous block and h and y its last 10 (zeros at the start of a track).
void filter_lanes(const double* x, double* h, double* y, int lanes, int count);

// One way of running filter_lanes: the pairs of lanes that every processor
// runs (SSE2 on x86-64, NEON on aarch64), or lanes four at a time where the
// processor has AVX2. Each gives the same bits.
struct filter_kernel {
  const char* name;
  bool (*supported)();
  void (*run)(const double* x, double* h, double* y, int lanes, int count);
};

// Every kernel this build holds, the portable one first, the widest last.
std::span<const filter_kernel> filter_kernels();

// The widest kernel of the table that this processor supports.
const filter_kernel& widest_filter();
