// The correlation of every candidate through one complex transform of both
// windows (decoded values as real parts, original values as imaginary parts),
// a product of spectra and one inverse transform.
//
// Error bound: a radix-2 transform of length N = 2^L with twiddle factors
// accurate to mu has a computed output within L * (mu + gamma_4 * (sqrt 2 +
// mu)) of the exact one in the 2-norm, relative to the output's norm (about
// 2.7e-14 here). Carrying that through the split of the two spectra, their
// product and the inverse transform bounds every correlation value by
// 8.1e-14 * sqrt(N) * (|test|^2 + |stretch|^2) = 2.1e-11 * energy. The bound
// used is 500 times that.
#include "offset_search_correlation.h"

#include <array>
#include <cmath>
#include <new>
#include <utility>

#include "offset_search.h"
#include "platform.h"

namespace {

constexpr int TRANSFORM_BITS = 16;
constexpr int TRANSFORM_LENGTH = 1 << TRANSFORM_BITS;  // >= 40000: no wrap-around
constexpr int CANDIDATES = MAX_OFFSET - MIN_OFFSET + 1;
constexpr int DECODED_READ = CANDIDATES - 1 + REFERENCE_LENGTH;  // positions 0 .. 39998
static_assert(DECODED_READ <= TRANSFORM_LENGTH, "the circular correlation must not wrap");
constexpr double CORRELATION_SLACK = 1e-8;

struct transform_buffers {
  std::array<double, TRANSFORM_LENGTH> re, im;              // the signal being transformed
  std::array<double, TRANSFORM_LENGTH> spare_re, spare_im;  // the other half of each pass
  std::array<double, TRANSFORM_LENGTH / 2> twiddle_re, twiddle_im;  // exp(-2 pi i k / N), k < N / 2
};

// One set of buffers per thread, in large pages, kept until the thread ends.
struct buffers_holder {
  transform_buffers* b = nullptr;
  ~buffers_holder() { free_large(b, sizeof(transform_buffers)); }
};

transform_buffers& buffers() {
  static thread_local buffers_holder holder;
  if (holder.b == nullptr) {
    void* block = allocate_large(sizeof(transform_buffers));
    if (block == nullptr) throw std::bad_alloc();
    transform_buffers& fresh = *new (block) transform_buffers;
    const double pi = 3.14159265358979323846;
    for (int k = 0; k < TRANSFORM_LENGTH / 2; ++k) {
      const double angle = 2.0 * pi * k / TRANSFORM_LENGTH;
      fresh.twiddle_re[k] = std::cos(angle);
      fresh.twiddle_im[k] = -std::sin(angle);
    }
    holder.b = &fresh;
  }
  return *holder.b;
}

// Two lanes of a pass at once (SSE2, the x86-64 baseline).
typedef double pair __attribute__((vector_size(16)));
typedef double pair_unaligned __attribute__((vector_size(16), aligned(8), may_alias));

inline double get(const double* p, double) { return *p; }
inline pair get(const double* p, pair) { return *reinterpret_cast<const pair_unaligned*>(p); }
inline void put(double* p, double v) { *p = v; }
inline void put(double* p, pair v) { *reinterpret_cast<pair_unaligned*>(p) = v; }

// a + c and (a - c) * w, for one value or for a pair of them.
template <class T>
inline __attribute__((always_inline)) void butterfly(const double* a_re, const double* a_im,
                                                     const double* c_re, const double* c_im,
                                                     double* sum_re, double* sum_im,
                                                     double* difference_re,
                                                     double* difference_im, T wr, T wi) {
  const T ar = get(a_re, wr);
  const T ai = get(a_im, wr);
  const T cr = get(c_re, wr);
  const T ci = get(c_im, wr);
  const T dr = ar - cr;
  const T di = ai - ci;
  put(sum_re, ar + cr);
  put(sum_im, ai + ci);
  put(difference_re, dr * wr - di * wi);
  put(difference_im, dr * wi + di * wr);
}

// Radix-2 decimation in frequency, self-sorting (Stockham): every pass reads
// one buffer and writes the other in order, so no bit-reversed reordering is
// needed. The inverse transform uses the conjugate twiddles and does not
// divide by the length.
template <bool INVERSE>
void transform(transform_buffers& b) {
  double* x_re = b.re.data();
  double* x_im = b.im.data();
  double* y_re = b.spare_re.data();
  double* y_im = b.spare_im.data();
  for (int n = TRANSFORM_LENGTH, s = 1; n > 1; n /= 2, s *= 2) {
    const int m = n / 2;
    for (int p = 0; p < m; ++p) {
      const double wr = b.twiddle_re[p * s];
      const double wi = INVERSE ? -b.twiddle_im[p * s] : b.twiddle_im[p * s];
      const double* a_re = x_re + s * p;
      const double* a_im = x_im + s * p;
      const double* c_re = x_re + s * (p + m);
      const double* c_im = x_im + s * (p + m);
      double* sum_re = y_re + s * (2 * p);
      double* sum_im = y_im + s * (2 * p);
      double* difference_re = y_re + s * (2 * p + 1);
      double* difference_im = y_im + s * (2 * p + 1);
      if (s == 1) {
        butterfly(a_re, a_im, c_re, c_im, sum_re, sum_im, difference_re, difference_im, wr, wi);
        continue;
      }
      const pair w_re = {wr, wr};
      const pair w_im = {wi, wi};
      for (int q = 0; q < s; q += 2) {
        butterfly(a_re + q, a_im + q, c_re + q, c_im + q, sum_re + q, sum_im + q,
                  difference_re + q, difference_im + q, w_re, w_im);
      }
    }
    std::swap(x_re, y_re);
    std::swap(x_im, y_im);
  }
  static_assert(TRANSFORM_BITS % 2 == 0, "an even number of passes ends in the first buffer");
}

}  // namespace

double correlate_candidates(const double* test, const double* stretch, double energy,
                            double* correlation) {
  transform_buffers& b = buffers();
  for (int i = 0; i < TRANSFORM_LENGTH; ++i) {
    b.re[i] = i < DECODED_READ ? test[i] : 0.0;
    b.im[i] = i < REFERENCE_LENGTH ? stretch[i] : 0.0;
  }
  transform<false>(b);
  // With Z the transform of t + i r: T(m) = (Z(m) + conj Z(N-m)) / 2 and
  // R(m) = (Z(m) - conj Z(N-m)) / 2i. The correlation's transform is
  // T(m) conj R(m); the pair m, N-m is formed together.
  for (int m = 0; m <= TRANSFORM_LENGTH / 2; ++m) {
    const int n = (TRANSFORM_LENGTH - m) % TRANSFORM_LENGTH;
    const double zr = b.re[m], zi = b.im[m], yr = b.re[n], yi = b.im[n];
    // Spectra at m.
    const double tr = 0.5 * (zr + yr), ti = 0.5 * (zi - yi);
    const double rr = 0.5 * (zi + yi), ri = 0.5 * (yr - zr);
    // T(N-m) = conj T(m) and R(N-m) = conj R(m), as t and r are real.
    const double pr = tr * rr + ti * ri;
    const double pi = ti * rr - tr * ri;
    b.re[m] = pr;
    b.im[m] = pi;
    b.re[n] = pr;
    b.im[n] = -pi;
  }
  transform<true>(b);
  const double scale = 1.0 / TRANSFORM_LENGTH;
  for (int c = 0; c < CANDIDATES; ++c) correlation[c] = b.re[c] * scale;
  return CORRELATION_SLACK * energy;
}
