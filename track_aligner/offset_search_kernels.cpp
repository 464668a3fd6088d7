// The vector loops of the search, written once over a vector type and compiled
// for two doubles a register (the SSE2 baseline, or NEON) and, on x86, once
// more for AVX2 (four); the transform's levels also for AVX-512 (eight).
// Only the lanes are parallel; each lane adds its terms one by one in order,
// with separate multiply and add (no fused multiply-add), so its bits match
// the scalar loop. Accumulators are named locals, never arrays, so that the
// compiler keeps them in registers.
#include "offset_search_kernels.h"

#include "offset_search.h"

namespace {

// These helpers are always inlined into functions built for the matching
// instruction set; the warning about passing wide vectors by value across the
// processor-specific ABI does not apply to them.
#pragma GCC diagnostic ignored "-Wpsabi"

typedef double v4d __attribute__((vector_size(32)));
typedef double v2d __attribute__((vector_size(16)));
// The same vectors read from and written to doubles at any 8-byte boundary.
typedef double v4d_unaligned __attribute__((vector_size(32), aligned(8), may_alias));
typedef double v2d_unaligned __attribute__((vector_size(16), aligned(8), may_alias));

template <class V>
struct unaligned_of;
template <>
struct unaligned_of<v4d> {
  typedef v4d_unaligned type;
};
template <>
struct unaligned_of<v2d> {
  typedef v2d_unaligned type;
};
typedef double v8d __attribute__((vector_size(64)));
typedef double v8d_unaligned __attribute__((vector_size(64), aligned(8), may_alias));
template <>
struct unaligned_of<v8d> {
  typedef v8d_unaligned type;
};

#define KERNEL inline __attribute__((always_inline))

// The residual loop looks at its early stop once per this many positions.
constexpr int STOP_CHECK_STRIDE = 64;

// A vector of GROUP_WIDTH lanes: one v4d, or two v2d.
template <class V>
struct quad;

template <>
struct quad<v4d> {
  v4d a;
};

template <>
struct quad<v2d> {
  v2d a, b;
};

KERNEL void load(quad<v4d>& q, const double* p) { q.a = *reinterpret_cast<const v4d_unaligned*>(p); }
KERNEL void load(quad<v2d>& q, const double* p) {
  q.a = *reinterpret_cast<const v2d_unaligned*>(p);
  q.b = *reinterpret_cast<const v2d_unaligned*>(p + 2);
}

KERNEL void store(double* p, const quad<v4d>& q) { *reinterpret_cast<v4d_unaligned*>(p) = q.a; }
KERNEL void store(double* p, const quad<v2d>& q) {
  *reinterpret_cast<v2d_unaligned*>(p) = q.a;
  *reinterpret_cast<v2d_unaligned*>(p + 2) = q.b;
}

KERNEL void splat(quad<v4d>& q, double x) { q.a = v4d{x, x, x, x}; }
KERNEL void splat(quad<v2d>& q, double x) { q.a = q.b = v2d{x, x}; }

// Lane-wise helpers; the v2d forms work on both halves.
KERNEL v4d vmin(const v4d& x, const v4d& y) { return x < y ? x : y; }
KERNEL v4d vmax(const v4d& x, const v4d& y) { return x > y ? x : y; }
KERNEL v2d vmin(const v2d& x, const v2d& y) { return x < y ? x : y; }
KERNEL v2d vmax(const v2d& x, const v2d& y) { return x > y ? x : y; }

template <class V>
KERNEL quad<V> add_square(const quad<V>& sum, const quad<V>& x) {
  if constexpr (sizeof(V) == 32) {
    return {sum.a + x.a * x.a};
  } else {
    return {sum.a + x.a * x.a, sum.b + x.b * x.b};
  }
}

// sum + (x * gain - r)^2 per lane, rounding after every operation.
template <class V>
KERNEL quad<V> add_error(const quad<V>& sum, const quad<V>& x, const quad<V>& gain, double r) {
  if constexpr (sizeof(V) == 32) {
    const V e = x.a * gain.a - r;
    return {sum.a + e * e};
  } else {
    const V ea = x.a * gain.a - r;
    const V eb = x.b * gain.b - r;
    return {sum.a + ea * ea, sum.b + eb * eb};
  }
}

// True when every lane is above `best` or not active.
template <class V>
KERNEL bool all_done(const quad<V>& sum, double best, const bool* active) {
  double lanes[GROUP_WIDTH];
  store(lanes, sum);
  bool done = true;
  for (int j = 0; j < GROUP_WIDTH; ++j) done = done && (lanes[j] > best || !active[j]);
  return done;
}

template <class V>
KERNEL void energies(const double* test, const int (&window)[BATCH_GROUPS], double (&energy)[BATCH_LANES]) {
  const double* p0 = test + window[0];
  const double* p1 = test + window[1];
  const double* p2 = test + window[2];
  const double* p3 = test + window[3];
  quad<V> s0, s1, s2, s3;
  splat(s0, 0.0);
  s1 = s0;
  s2 = s0;
  s3 = s0;
  for (int k = 0; k < REFERENCE_LENGTH; ++k) {
    quad<V> x0, x1, x2, x3;
    load(x0, p0 + k);
    load(x1, p1 + k);
    load(x2, p2 + k);
    load(x3, p3 + k);
    s0 = add_square(s0, x0);
    s1 = add_square(s1, x1);
    s2 = add_square(s2, x2);
    s3 = add_square(s3, x3);
  }
  store(energy + 0, s0);
  store(energy + 4, s1);
  store(energy + 8, s2);
  store(energy + 12, s3);
}

template <class V>
KERNEL bool residuals(const double* stretch, const double* test, const int (&window)[BATCH_GROUPS],
                      const double (&gain)[BATCH_LANES], const bool (&active)[BATCH_LANES], double best,
                      double (&residual)[BATCH_LANES]) {
  const double* p0 = test + window[0];
  const double* p1 = test + window[1];
  const double* p2 = test + window[2];
  const double* p3 = test + window[3];
  quad<V> g0, g1, g2, g3;
  load(g0, gain + 0);
  load(g1, gain + 4);
  load(g2, gain + 8);
  load(g3, gain + 12);
  quad<V> s0, s1, s2, s3;
  splat(s0, 0.0);
  s1 = s0;
  s2 = s0;
  s3 = s0;
  bool complete = true;
  for (int k0 = 0; k0 < REFERENCE_LENGTH; k0 += STOP_CHECK_STRIDE) {
    const int k1 = k0 + STOP_CHECK_STRIDE < REFERENCE_LENGTH ? k0 + STOP_CHECK_STRIDE : REFERENCE_LENGTH;
    for (int k = k0; k < k1; ++k) {
      const double r = stretch[k];
      quad<V> x0, x1, x2, x3;
      load(x0, p0 + k);
      load(x1, p1 + k);
      load(x2, p2 + k);
      load(x3, p3 + k);
      s0 = add_error(s0, x0, g0, r);
      s1 = add_error(s1, x1, g1, r);
      s2 = add_error(s2, x2, g2, r);
      s3 = add_error(s3, x3, g3, r);
    }
    if (k1 < REFERENCE_LENGTH && all_done(s0, best, active + 0) && all_done(s1, best, active + 4) &&
        all_done(s2, best, active + 8) && all_done(s3, best, active + 12)) {
      complete = false;
      break;
    }
  }
  store(residual + 0, s0);
  store(residual + 4, s1);
  store(residual + 8, s2);
  store(residual + 12, s3);
  return complete;
}

// Squared distance term of one pool entry for one vector of lanes.
template <class W>
KERNEL W bound_term(const W& x, const W& gain_low, const W& gain_high, const W& margin, double above,
                    double below) {
  const W a = x * gain_low;
  const W b = x * gain_high;
  const W w = vmax(vmin(a, b) - above, below - vmax(a, b)) - margin;
  const W zero = {};
  const W d = vmax(w, zero);
  return d * d;
}

template <class V>
KERNEL void group_bounds(const double* test, const bound_pool& pool, int from, int to,
                         const bound_group& group, double* bound) {
  const double* p = test + group.window;
  quad<V> lo, hi, mg, s;
  splat(lo, group.gain_low);
  splat(hi, group.gain_high);
  splat(mg, group.margin);
  load(s, bound);
  for (int i = from; i < to; ++i) {
    quad<V> x;
    load(x, p + pool.position[i]);
    const double above = pool.above[i];
    const double below = pool.below[i];
    if constexpr (sizeof(V) == 32) {
      s.a = s.a + bound_term(x.a, lo.a, hi.a, mg.a, above, below);
    } else {
      s.a = s.a + bound_term(x.a, lo.a, hi.a, mg.a, above, below);
      s.b = s.b + bound_term(x.b, lo.b, hi.b, mg.b, above, below);
    }
  }
  store(bound, s);
}

template <class V>
KERNEL void bounds(const double* test, const bound_pool& pool, int from, int to, const bound_group* group,
                   int count, double* bound) {
  for (int g = 0; g < count; ++g) {
    group_bounds<V>(test, pool, from, to, group[g], bound + GROUP_WIDTH * g);
  }
}

// One butterfly per lane of T (a vector, or one double), at position `at` of
// a block split at h, with the twiddle at j.
template <class T, class U, bool INVERSE>
KERNEL void butterfly(double* re, double* im, int at, int j, int h, const double* w_re, const double* w_im) {
  const U* w_r = reinterpret_cast<const U*>(w_re + j);
  const U* w_i = reinterpret_cast<const U*>(w_im + j);
  U* a_re = reinterpret_cast<U*>(re + at);
  U* a_im = reinterpret_cast<U*>(im + at);
  U* c_re = reinterpret_cast<U*>(re + at + h);
  U* c_im = reinterpret_cast<U*>(im + at + h);
  const T wr = *w_r;
  const T wi = INVERSE ? -*w_i : *w_i;
  const T ar = *a_re, ai = *a_im;
  const T xr = *c_re, xi = *c_im;
  if constexpr (INVERSE) {
    const T cr = xr * wr - xi * wi, ci = xr * wi + xi * wr;
    *a_re = ar + cr;
    *a_im = ai + ci;
    *c_re = ar - cr;
    *c_im = ai - ci;
  } else {
    const T dr = ar - xr, di = ai - xi;
    *a_re = ar + xr;
    *a_im = ai + xi;
    *c_re = dr * wr - di * wi;
    *c_im = dr * wi + di * wr;
  }
}

template <class V, bool INVERSE>
KERNEL void butterflies(double* re, double* im, int first, int end, int h, const double* w_re,
                        const double* w_im) {
  constexpr int LANES = sizeof(V) / sizeof(double);
  if constexpr (LANES > 4) {
    // Blocks too short for the widest registers take the next width down.
    if (h < LANES) return butterflies<v4d, INVERSE>(re, im, first, end, h, w_re, w_im);
  }
  for (int block = first; block < end; block += 2 * h) {
    if (h >= LANES) {
      for (int j = 0; j < h; j += LANES) {
        butterfly<V, typename unaligned_of<V>::type, INVERSE>(re, im, block + j, j, h, w_re, w_im);
      }
    } else {
      for (int j = 0; j < h; ++j) butterfly<double, double, INVERSE>(re, im, block + j, j, h, w_re, w_im);
    }
  }
}

template <class V>
KERNEL void level(double* re, double* im, int first, int end, int h, const double* w_re, const double* w_im,
                  bool inverse) {
  if (inverse) {
    butterflies<V, true>(re, im, first, end, h, w_re, w_im);
  } else {
    butterflies<V, false>(re, im, first, end, h, w_re, w_im);
  }
}

// Values 0 and 2 of the pair a, b, and values 1 and 3.
KERNEL v2d evens(v2d a, v2d b) { return v2d{a[0], b[0]}; }
KERNEL v2d odds(v2d a, v2d b) { return v2d{a[1], b[1]}; }

// Blocks of four values, two values a register (the same on every processor):
// the last two levels of the forward transform or the first two of the
// inverse, with the operations of the one-level butterflies.
template <bool INVERSE>
KERNEL void short_levels(double* re, double* im, int first, int end, const double* t_re, const double* t_im) {
  auto get = [](const double* p) { return v2d(*reinterpret_cast<const v2d_unaligned*>(p)); };
  auto put = [](double* p, v2d v) { *reinterpret_cast<v2d_unaligned*>(p) = v; };
  const double sign = INVERSE ? -1.0 : 1.0;
  // Level h = 2: twiddles at 2 and 3; level h = 1: the twiddle at 1.
  const v2d w4r = get(t_re + 2), w4i = sign * get(t_im + 2);
  const v2d w2r = v2d{t_re[1], t_re[1]}, w2i = sign * v2d{t_im[1], t_im[1]};
  for (int b = first; b < end; b += 4) {
    const v2d lo_r = get(re + b), hi_r = get(re + b + 2);
    const v2d lo_i = get(im + b), hi_i = get(im + b + 2);
    if constexpr (INVERSE) {
      // h = 1: (x0, x1) and (x2, x3).
      const v2d ar = evens(lo_r, hi_r), ai = evens(lo_i, hi_i);
      const v2d xr = odds(lo_r, hi_r), xi = odds(lo_i, hi_i);
      const v2d cr = xr * w2r - xi * w2i, ci = xr * w2i + xi * w2r;
      const v2d sr = ar + cr, si = ai + ci, dr = ar - cr, di = ai - ci;  // y0 y2, y1 y3
      // h = 2: (y0, y2) and (y1, y3).
      const v2d er = evens(sr, dr), ei = evens(si, di);  // y0 y1
      const v2d fr = odds(sr, dr), fi = odds(si, di);    // y2 y3
      const v2d gr = fr * w4r - fi * w4i, gi = fr * w4i + fi * w4r;
      put(re + b, er + gr);
      put(im + b, ei + gi);
      put(re + b + 2, er - gr);
      put(im + b + 2, ei - gi);
    } else {
      // h = 2: (x0, x2) and (x1, x3).
      const v2d sr = lo_r + hi_r, si = lo_i + hi_i;  // y0 y1
      const v2d dr = lo_r - hi_r, di = lo_i - hi_i;
      const v2d tr = dr * w4r - di * w4i, ti = dr * w4i + di * w4r;  // y2 y3
      // h = 1: (y0, y1) and (y2, y3).
      const v2d ar = evens(sr, tr), ai = evens(si, ti);  // y0 y2
      const v2d xr = odds(sr, tr), xi = odds(si, ti);    // y1 y3
      const v2d pr = ar + xr, pi = ai + xi;              // z0 z2
      const v2d qr = ar - xr, qi = ai - xi;
      const v2d ur = qr * w2r - qi * w2i, ui = qr * w2i + qi * w2r;  // z1 z3
      put(re + b, evens(pr, ur));
      put(im + b, evens(pi, ui));
      put(re + b + 2, odds(pr, ur));
      put(im + b + 2, odds(pi, ui));
    }
  }
}

#define DEFINE_KERNEL_SET(NAME, V, TARGET)                                                                \
  TARGET void NAME##_energies(const double* t, const int(&w)[BATCH_GROUPS], double(&e)[BATCH_LANES]) {    \
    energies<V>(t, w, e);                                                                                 \
  }                                                                                                       \
  TARGET bool NAME##_residuals(const double* r, const double* t, const int(&w)[BATCH_GROUPS],             \
                               const double(&g)[BATCH_LANES], const bool(&a)[BATCH_LANES], double best,   \
                               double(&s)[BATCH_LANES]) {                                                 \
    return residuals<V>(r, t, w, g, a, best, s);                                                          \
  }                                                                                                       \
  TARGET void NAME##_bounds(const double* t, const bound_pool& p, int from, int to, const bound_group* g, \
                            int n, double* b) {                                                           \
    bounds<V>(t, p, from, to, g, n, b);                                                                   \
  }                                                                                                       \
  TARGET void NAME##_level(double* re, double* im, int first, int end, int h, const double* w_re,         \
                           const double* w_im, bool inverse) {                                            \
    level<V>(re, im, first, end, h, w_re, w_im, inverse);                                                 \
  }                                                                                                       \
  TARGET void NAME##_short_levels(double* re, double* im, int first, int end, const double* t_re,         \
                                  const double* t_im, bool inverse) {                                     \
    if (inverse) {                                                                                        \
      short_levels<true>(re, im, first, end, t_re, t_im);                                                 \
    } else {                                                                                              \
      short_levels<false>(re, im, first, end, t_re, t_im);                                                \
    }                                                                                                     \
  }

// Two doubles a register: SSE2 on x86-64, NEON on aarch64, and whatever the
// compiler makes of them elsewhere.
DEFINE_KERNEL_SET(sse2, v2d, )

bool always() { return true; }

#if defined(__x86_64__) || defined(__i386__)
// Only x86 processors offer a choice, made at run time.
DEFINE_KERNEL_SET(avx2, v4d, __attribute__((target("avx2"))))

// The transform's levels also in eight lanes where the processor has AVX-512.
__attribute__((target("avx512f"))) void avx512_level(double* re, double* im, int first, int end, int h,
                                                     const double* w_re, const double* w_im, bool inverse) {
  level<v8d>(re, im, first, end, h, w_re, w_im, inverse);
}

bool has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
// The AVX-512 set keeps the AVX2 loops for everything but the transform.
bool has_avx512f() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2");
}
#endif

// Narrowest first: the search takes the widest set the processor supports,
// the tests take each in turn.
const kernel_set KERNEL_SETS[] = {
    {"baseline", always, sse2_energies, sse2_residuals, sse2_bounds, sse2_level, sse2_short_levels},
#if defined(__x86_64__) || defined(__i386__)
    {"avx2", has_avx2, avx2_energies, avx2_residuals, avx2_bounds, avx2_level, avx2_short_levels},
    {"avx512", has_avx512f, avx2_energies, avx2_residuals, avx2_bounds, avx512_level, avx2_short_levels},
#endif
};

}  // namespace

std::span<const kernel_set> kernel_sets() { return KERNEL_SETS; }

const kernel_set& widest_kernels() {
  const std::span<const kernel_set> sets = kernel_sets();
  for (auto set = sets.rbegin(); set != sets.rend(); ++set) {
    if (set->supported()) return *set;
  }
  return sets.front();
}
