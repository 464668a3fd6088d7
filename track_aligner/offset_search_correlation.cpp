// The correlation of every candidate by fast Fourier transform. The compared
// stretch is split into two halves of 15000 values; each half and the decoded
// values it meets (24999 of them) fit a transform of N = 2^15 points without
// wrapping around. One complex transform per half carries both (decoded
// values as real parts, original values as imaginary parts); the two products
// of spectra are added, and the sum goes back through one transform of half
// the length, as the correlation is real (even and odd lags as real and
// imaginary parts).
//
// The transforms work in place, so that a signal (512 KiB) stays in the
// processor's second-level cache, and finish blocks of 1024 points at a time
// in the first-level cache. The forward transforms decimate in frequency and
// leave their spectra in bit-reversed order; the products and the fold to half
// the length work in that order, and the inverse transform decimates in time,
// from bit-reversed order back to natural order.
//
// Error bound: a radix-2 transform of length 2^L with twiddle factors accurate
// to mu has a computed output within eta = L * (mu + gamma_4 * (sqrt 2 + mu))
// of the exact one in the 2-norm, relative to the output's norm (1.3e-14 for
// L = 15, mu = 2.2e-16), whether it decimates in time or in frequency. With a
// and b the norms of a half's decoded values and original values, the half's
// spectra are within eta * sqrt(N) * sqrt(a^2 + b^2) of the exact ones, while
// no spectrum value exceeds sqrt(25000) * a or sqrt(15000) * b. Carrying that
// through the products (3 units of rounding each), the fold into half the
// length (norm sqrt 2, one more twiddle) and the inverse transform (divided
// by N) bounds every correlation value by about 2 * sqrt 2 * sqrt(25000) *
// (eta + 4.4e-16) * (|test|^2 + |stretch|^2) = 6e-12 * energy. The bound used
// is more than 1000 times that.
#include "offset_search_correlation.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "offset_search.h"
#include "offset_search_kernels.h"

namespace {

constexpr int CANDIDATES = MAX_OFFSET - MIN_OFFSET + 1;
constexpr int HALF_STRETCH = REFERENCE_LENGTH / 2;        // 15000
constexpr int HALF_READ = HALF_STRETCH + CANDIDATES - 1;  // 24999 decoded values a half
// Points a transform finishes at a time once its blocks are this short:
// 16 KiB of real and imaginary parts, within the first-level cache.
constexpr int CACHE_BLOCK = 1024;
static_assert(2 * HALF_STRETCH == REFERENCE_LENGTH, "the stretch splits into two halves");
static_assert(HALF_READ <= TRANSFORM_LENGTH, "the circular correlation must not wrap");
static_assert(CANDIDATES % 2 == 0, "lags come in even and odd pairs");
static_assert(FOLDED_LENGTH >= CACHE_BLOCK, "transforms are longer than a cache block");
constexpr double CORRELATION_SLACK = 1e-8;

// Two lanes: the registers of the x86-64 baseline (SSE2) and of aarch64 (NEON).
typedef double v2 __attribute__((vector_size(16)));
typedef double v2_unaligned __attribute__((vector_size(16), aligned(8), may_alias));
constexpr int LANES = 2;

inline v2 load(const double* p) { return *reinterpret_cast<const v2_unaligned*>(p); }
inline void store(double* p, v2 v) { *reinterpret_cast<v2_unaligned*>(p) = v; }
inline double load(const double* p, double) { return *p; }
inline v2 load(const double* p, v2) { return load(p); }
// Lanes picked by index, written so that both GCC and Clang (the fuzzing
// build) compile them to single shuffles.
inline v2 swapped(v2 v) { return v2{v[1], v[0]}; }
inline v2 firsts(v2 a, v2 b) { return v2{a[0], b[0]}; }
inline v2 seconds(v2 a, v2 b) { return v2{a[1], b[1]}; }
// Two values in the opposite order: p[1], p[0].
inline v2 load_reversed(const double* p) { return swapped(load(p)); }
inline void store_reversed(double* p, v2 v) { store(p, swapped(v)); }

int reversed_bits(int value, int bits) {
  int reversed = 0;
  for (int b = 0; b < bits; ++b) reversed |= ((value >> b) & 1) << (bits - 1 - b);
  return reversed;
}

void fill_twiddles(transform_buffers& b) {
  auto& twiddle_re = b.twiddle_re;
  auto& twiddle_im = b.twiddle_im;
  // Every twiddle is one of exp(-2 pi i k / N), k < N/2: computed once, at
  // the level of the longest blocks, and copied to the others.
  const double pi = 3.14159265358979323846;
  constexpr int LONGEST = TRANSFORM_LENGTH / 2;
  for (int k = 0; k < LONGEST; ++k) {
    const double angle = 2.0 * pi * k / TRANSFORM_LENGTH;
    twiddle_re[LONGEST + k] = std::cos(angle);
    twiddle_im[LONGEST + k] = -std::sin(angle);
  }
  for (int h = 1; h < LONGEST; h *= 2) {
    for (int j = 0; j < h; ++j) {
      twiddle_re[h + j] = twiddle_re[LONGEST + j * (LONGEST / h)];
      twiddle_im[h + j] = twiddle_im[LONGEST + j * (LONGEST / h)];
    }
  }
  twiddle_re[0] = twiddle_im[0] = 0.0;  // unused
  for (int j = 0; j < FOLDED_LENGTH; ++j) {
    const int m = reversed_bits(j, TRANSFORM_BITS - 1);
    b.fold_re[j] = twiddle_re[LONGEST + m];
    b.fold_im[j] = -twiddle_im[LONGEST + m];
  }
  b.twiddles_ready = true;
}

// One level of butterflies over the blocks from `first` to `end`.
void level(double* re, double* im, int first, int end, int h, bool inverse, const transform_buffers& b,
           const kernel_set& set) {
  set.transform_level(re, im, first, end, h, b.twiddle_re.data() + h, b.twiddle_im.data() + h, inverse);
}

// The levels of blocks of 4 and 2 values over the blocks from `first` to `end`.
void short_levels(double* re, double* im, int first, int end, bool inverse, const transform_buffers& b,
                  const kernel_set& set) {
  set.transform_short_levels(re, im, first, end, b.twiddle_re.data(), b.twiddle_im.data(), inverse);
}

// Natural order in, bit-reversed order out.
void forward(complex_block& x, const transform_buffers& b, const kernel_set& set) {
  double* re = x.re.data();
  double* im = x.im.data();
  int h = TRANSFORM_LENGTH / 2;
  for (; 2 * h > CACHE_BLOCK; h /= 2) level(re, im, 0, TRANSFORM_LENGTH, h, false, b, set);
  for (int first = 0; first < TRANSFORM_LENGTH; first += CACHE_BLOCK) {
    for (int k = h; k > 2; k /= 2) level(re, im, first, first + CACHE_BLOCK, k, false, b, set);
    short_levels(re, im, first, first + CACHE_BLOCK, false, b, set);
  }
}

// Bit-reversed order in, natural order out, not divided by the length.
void inverse(double* re, double* im, int length, const transform_buffers& b, const kernel_set& set) {
  for (int first = 0; first < length; first += CACHE_BLOCK) {
    short_levels(re, im, first, first + CACHE_BLOCK, true, b, set);
    for (int h = 4; 2 * h <= CACHE_BLOCK; h *= 2) level(re, im, first, first + CACHE_BLOCK, h, true, b, set);
  }
  for (int h = CACHE_BLOCK; h < length; h *= 2) level(re, im, 0, length, h, true, b, set);
}

// The transform of the correlation at bin m, summed over both halves: with Z
// a half's transform of t + i r, T(m) = (Z(m) + conj Z(N-m)) / 2 and R(m) =
// (Z(m) - conj Z(N-m)) / 2i, and the bin holds T(m) conj R(m). Bins m and
// N - m (where P(N - m) = conj P(m)) are formed together, written over the
// first half's spectrum. Positions i (holding bin m) and j (bin N - m) are
// read and written in the order of `lane`: one value, or four.
template <class T>
void products_at(transform_buffers& b, int i, int j, T lane) {
  auto get = [&](const double* p) {
    if constexpr (sizeof(T) == sizeof(double))
      return load(p, lane);
    else
      return load_reversed(p);
  };
  T pr = T{}, pi = T{};
  for (const complex_block& h : b.half) {
    const T zr = load(h.re.data() + i, lane), zi = load(h.im.data() + i, lane);
    const T yr = get(h.re.data() + j), yi = get(h.im.data() + j);
    const T tr = 0.5 * (zr + yr), ti = 0.5 * (zi - yi);
    const T rr = 0.5 * (zi + yi), ri = 0.5 * (yr - zr);
    pr = pr + (tr * rr + ti * ri);
    pi = pi + (ti * rr - tr * ri);
  }
  complex_block& out = b.half[0];
  if constexpr (sizeof(T) == sizeof(double)) {
    out.re[i] = pr;
    out.im[i] = pi;
    out.re[j] = pr;
    out.im[j] = -pi;
  } else {
    store(out.re.data() + i, pr);
    store(out.im.data() + i, pi);
    store_reversed(out.re.data() + j, pr);
    store_reversed(out.im.data() + j, -pi);
  }
}

// In bit-reversed order, the partner N - m of the bin at position i lies in
// the same run [2^k, 2^(k+1)) of positions, mirrored: at 3 * 2^k - 1 - i.
void products(transform_buffers& b) {
  products_at(b, 0, 0, 0.0);
  for (int run = 1; run < TRANSFORM_LENGTH; run *= 2) {
    const int middle = run + run / 2;
    int i = run;
    for (; run >= 2 * LANES && i < middle; i += LANES) {
      products_at(b, i, 3 * run - LANES - i, v2{});
    }
    for (; i < middle || i == run; ++i) products_at(b, i, 3 * run - 1 - i, 0.0);
  }
}

// The correlation c is real: its even and odd lags, as the real and
// imaginary parts of a signal of length N/2, have the transform Y(m) = (P(m) +
// P(m + N/2)) + i W^-m (P(m) - P(m + N/2)) with W = exp(-2 pi i / N). In
// bit-reversed order P(m) and P(m + N/2) are neighbours (positions 2k and
// 2k + 1 for Y's position k), and Y is written over the first half of P.
void fold(transform_buffers& b) {
  double* re = b.half[0].re.data();
  double* im = b.half[0].im.data();
  for (int k = 0; k < FOLDED_LENGTH; k += LANES) {
    const v2 lo_re = load(re + 2 * k), hi_re = load(re + 2 * k + LANES);
    const v2 lo_im = load(im + 2 * k), hi_im = load(im + 2 * k + LANES);
    const v2 pr = firsts(lo_re, hi_re), qr = seconds(lo_re, hi_re);
    const v2 pi = firsts(lo_im, hi_im), qi = seconds(lo_im, hi_im);
    const v2 sr = pr + qr, si = pi + qi, dr = pr - qr, di = pi - qi;
    const v2 wr = load(b.fold_re.data() + k), wi = load(b.fold_im.data() + k);
    store(re + k, sr - (wr * di + wi * dr));
    store(im + k, si + (wr * dr - wi * di));
  }
}

}  // namespace

double correlate_candidates(const double* test, const double* stretch, double energy, double* correlation,
                            const kernel_set& kernels, transform_buffers& b) {
  if (!b.twiddles_ready) fill_twiddles(b);
  for (int h = 0; h < 2; ++h) {
    complex_block& z = b.half[h];
    std::copy(test + h * HALF_STRETCH, test + h * HALF_STRETCH + HALF_READ, z.re.begin());
    std::fill(z.re.begin() + HALF_READ, z.re.end(), 0.0);
    std::copy(stretch + h * HALF_STRETCH, stretch + (h + 1) * HALF_STRETCH, z.im.begin());
    std::fill(z.im.begin() + HALF_STRETCH, z.im.end(), 0.0);
    forward(z, b, kernels);
  }
  products(b);
  fold(b);
  double* re = b.half[0].re.data();
  double* im = b.half[0].im.data();
  inverse(re, im, FOLDED_LENGTH, b, kernels);
  const double scale = 1.0 / TRANSFORM_LENGTH;
  for (int n = 0; n < CANDIDATES / 2; ++n) {
    correlation[2 * n] = re[n] * scale;
    correlation[2 * n + 1] = im[n] * scale;
  }
  return CORRELATION_SLACK * energy;
}
