#include "loudness_filter.h"

#include <cstddef>
#include <cstring>

void filter_run(loudness_filter& f, const double* in, double* out, int count) {
  // The histories live in locals for the whole block; the compiler keeps
  // them in registers instead of shifting arrays every frame.
  double x1 = f.x1, x2 = f.x2, h1 = f.h1, h2 = f.h2;
  double u1 = f.hy[0], u2 = f.hy[1], u3 = f.hy[2], u4 = f.hy[3], u5 = f.hy[4], u6 = f.hy[5], u7 = f.hy[6],
         u8 = f.hy[7], u9 = f.hy[8], u10 = f.hy[9];
  double v1 = f.y[0], v2 = f.y[1], v3 = f.y[2], v4 = f.y[3], v5 = f.y[4], v6 = f.y[5], v7 = f.y[6],
         v8 = f.y[7], v9 = f.y[8], v10 = f.y[9];
  for (int i = 0; i < count; ++i) {
    const double x = in[i];
    double h = BW_B0 * x;
    h = h + BW_B1 * x1;
    h = h + BW_B2 * x2;
    h = h + BW_A1 * h1;
    h = h + BW_A2 * h2;
    x2 = x1;
    x1 = x;
    h2 = h1;
    h1 = h;
    double y = YW_B[0] * h;
    y = y + YW_B[1] * u1;
    y = y + YW_B[2] * u2;
    y = y + YW_B[3] * u3;
    y = y + YW_B[4] * u4;
    y = y + YW_B[5] * u5;
    y = y + YW_B[6] * u6;
    y = y + YW_B[7] * u7;
    y = y + YW_B[8] * u8;
    y = y + YW_B[9] * u9;
    y = y + YW_B[10] * u10;
    y = y + YW_A[1] * v1;
    y = y + YW_A[2] * v2;
    y = y + YW_A[3] * v3;
    y = y + YW_A[4] * v4;
    y = y + YW_A[5] * v5;
    y = y + YW_A[6] * v6;
    y = y + YW_A[7] * v7;
    y = y + YW_A[8] * v8;
    y = y + YW_A[9] * v9;
    y = y + YW_A[10] * v10;
    u10 = u9;
    u9 = u8;
    u8 = u7;
    u7 = u6;
    u6 = u5;
    u5 = u4;
    u4 = u3;
    u3 = u2;
    u2 = u1;
    u1 = h;
    v10 = v9;
    v9 = v8;
    v8 = v7;
    v7 = v6;
    v6 = v5;
    v5 = v4;
    v4 = v3;
    v3 = v2;
    v2 = v1;
    v1 = y;
    out[i] = y;
  }
  f.x1 = x1;
  f.x2 = x2;
  f.h1 = h1;
  f.h2 = h2;
  f.hy[0] = u1;
  f.y[0] = v1;
  f.hy[1] = u2;
  f.y[1] = v2;
  f.hy[2] = u3;
  f.y[2] = v3;
  f.hy[3] = u4;
  f.y[3] = v4;
  f.hy[4] = u5;
  f.y[4] = v5;
  f.hy[5] = u6;
  f.y[5] = v6;
  f.hy[6] = u7;
  f.y[6] = v7;
  f.hy[7] = u8;
  f.y[7] = v8;
  f.hy[8] = u9;
  f.y[8] = v9;
  f.hy[9] = u10;
  f.y[9] = v10;
}

namespace {

// Two lanes in one register (SSE2 on x86-64, NEON on aarch64), four where the
// processor has AVX2. Each element is one IEEE operation, as in the scalar
// code (no contraction into fused multiply-adds: -ffp-contract=off).
typedef double lane_pair __attribute__((vector_size(16)));
typedef double lane_quad __attribute__((vector_size(32)));

// Lanes start on any double: loaded and stored by copy. sum + c * value,
// rounded after the product and after the sum.
template <typename V>
inline __attribute__((always_inline)) void add_term(V& sum, double c, const double* p) {
  V value;
  std::memcpy(&value, p, sizeof value);
  sum = sum + c * value;
}

// One frame of lanes [l, l + width of V): filter_run's sums, term by term.
template <typename V>
inline __attribute__((always_inline)) void filter_frame(const double* xs, double* hs, double* ys,
                                                        std::ptrdiff_t s) {
  V hv;
  std::memcpy(&hv, xs, sizeof hv);
  hv = BW_B0 * hv;
  add_term(hv, BW_B1, xs - s);
  add_term(hv, BW_B2, xs - 2 * s);
  add_term(hv, BW_A1, hs - s);
  add_term(hv, BW_A2, hs - 2 * s);
  std::memcpy(hs, &hv, sizeof hv);
  V yv = YW_B[0] * hv;
  for (int k = 1; k <= 10; ++k) add_term(yv, YW_B[k], hs - k * s);
  for (int k = 1; k <= 10; ++k) add_term(yv, YW_A[k], ys - k * s);
  std::memcpy(ys, &yv, sizeof yv);
}

// Lanes four at a time while four are left (when `quads`), then two.
template <bool quads>
inline __attribute__((always_inline)) void filter_frames(const double* x, double* h, double* y, int lanes,
                                                         int count) {
  const std::ptrdiff_t s = lanes;
  for (int i = 0; i < count; ++i) {
    const std::ptrdiff_t n = i * s;
    int l = 0;
    if constexpr (quads) {
      for (; l + 4 <= lanes; l += 4) filter_frame<lane_quad>(x + n + l, h + n + l, y + n + l, s);
    }
    for (; l < lanes; l += 2) filter_frame<lane_pair>(x + n + l, h + n + l, y + n + l, s);
  }
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void filter_frames_avx2(const double* x, double* h, double* y, int lanes,
                                                        int count) {
  filter_frames<true>(x, h, y, lanes, count);
}
#endif

}  // namespace

void filter_lanes(const double* x, double* h, double* y, int lanes, int count) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return filter_frames_avx2(x, h, y, lanes, count);
#endif
  filter_frames<false>(x, h, y, lanes, count);
}
