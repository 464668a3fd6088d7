#include "anchor_filter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

// The zeroth-order modified Bessel function of the first kind, by its power
// series: sum of ((x/2)^k / k!)^2, whose terms fall below 1e-17 of the sum
// long before k reaches 100 for the betas used here (below 10).
double bessel_i0(double x) {
  double term = 1;
  double sum = 1;
  for (int k = 1; k < 100 && term > 1e-17 * sum; ++k) {
    const double half = x / (2 * k);
    term *= half * half;
    sum += term;
  }
  return sum;
}

}  // namespace

std::vector<double> anchor_taps(double cutoff_hz, double rate) {
  const double stop = cutoff_hz / rate;  // in cycles per frame
  const double width = ANCHOR_TRANSITION * stop;
  if (stop >= 0.5) return {1.0};
  // Kaiser's estimates for a window of attenuation A dB: beta, and the length
  // that gives a transition of `width` (2 pi width radians per frame).
  const double a = ANCHOR_STOPBAND_DB;
  const double beta = 0.1102 * (a - 8.7);
  const auto half = static_cast<int>(std::ceil((a - 7.95) / (2.285 * 2 * std::numbers::pi * width) / 2));
  // The ideal low-pass edge lies in the middle of the transition band.
  const double edge = stop - width / 2;
  std::vector<double> taps(static_cast<std::size_t>(2 * half + 1));
  double sum = 0;
  for (int n = -half; n <= half; ++n) {
    const double t = static_cast<double>(n);
    const double sinc =
        n == 0 ? 2 * edge : std::sin(2 * std::numbers::pi * edge * t) / (std::numbers::pi * t);
    const double r = t / half;
    const double window = bessel_i0(beta * std::sqrt(std::max(0.0, 1 - r * r))) / bessel_i0(beta);
    taps[static_cast<std::size_t>(n + half)] = sinc * window;
  }
  // Summed from both ends inwards, so that the pairs add alike and the taps
  // stay exactly symmetric after the division.
  for (std::size_t i = 0, j = taps.size() - 1; i < j; ++i, --j) sum += taps[i] + taps[j];
  sum += taps[taps.size() / 2];
  for (double& tap : taps) tap /= sum;
  for (std::size_t i = 0, j = taps.size() - 1; i < j; ++i, --j) taps[j] = taps[i];
  return taps;
}

void lowpass_frames(const std::vector<float>& x, const std::vector<double>& taps, int64_t first,
                    std::vector<double>& out) {
  const auto half = static_cast<int64_t>(taps.size() / 2);
  const auto count = static_cast<int64_t>(out.size());
  const auto frames = static_cast<int64_t>(x.size());
  // The input that the outputs reach, with zeros where it lies outside x:
  // window[i] is x[first - half + i].
  std::vector<double> window(static_cast<std::size_t>(count + 2 * half), 0.0);
  const int64_t from = std::max<int64_t>(0, first - half);
  const int64_t to = std::min<int64_t>(frames, first + count + half);
  for (int64_t f = from; f < to; ++f) window[static_cast<std::size_t>(f - first + half)] = x[f];
  // Four pairs of taps at a time over all outputs, the two taps of a
  // symmetric pair together: each output's sum is independent of the
  // others', so the inner loop runs in vector registers, and each output is
  // loaded and stored once for four pairs. The order of every sum is fixed
  // by the code alone (no contraction, no reassociation), so every system
  // gives the same values.
  const double* w = window.data() + half;
  const double centre = taps[static_cast<std::size_t>(half)];
  double* y = out.data();
  for (int64_t n = 0; n < count; ++n) y[n] = centre * w[n];
  int64_t j = 1;
  for (; j + 3 <= half; j += 4) {
    const auto at = static_cast<std::size_t>(half - j);
    const double t0 = taps[at];
    const double t1 = taps[at - 1];
    const double t2 = taps[at - 2];
    const double t3 = taps[at - 3];
    const double* before = w - j;
    const double* after = w + j;
    for (int64_t n = 0; n < count; ++n) {
      y[n] += (t0 * (before[n] + after[n]) + t1 * (before[n - 1] + after[n + 1])) +
              (t2 * (before[n - 2] + after[n + 2]) + t3 * (before[n - 3] + after[n + 3]));
    }
  }
  for (; j <= half; ++j) {
    const double tap = taps[static_cast<std::size_t>(half - j)];
    for (int64_t n = 0; n < count; ++n) y[n] += tap * (w[n - j] + w[n + j]);
  }
}
