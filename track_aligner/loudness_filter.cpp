#include "loudness_filter.h"

#include <cstddef>
#include <cstring>

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

// One frame of lanes [l, l + width of V): each stage's running sum, term by term.
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

void filter_frames_pairs(const double* x, double* h, double* y, int lanes, int count) {
  filter_frames<false>(x, h, y, lanes, count);
}

bool always() { return true; }

#if defined(__x86_64__)
__attribute__((target("avx2"))) void filter_frames_avx2(const double* x, double* h, double* y, int lanes,
                                                        int count) {
  filter_frames<true>(x, h, y, lanes, count);
}

bool has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

const filter_kernel FILTER_KERNELS[] = {
    {"pairs", always, filter_frames_pairs},
#if defined(__x86_64__)
    {"avx2", has_avx2, filter_frames_avx2},
#endif
};

}  // namespace

std::span<const filter_kernel> filter_kernels() { return FILTER_KERNELS; }

const filter_kernel& widest_filter() {
  const std::span<const filter_kernel> kernels = filter_kernels();
  for (auto k = kernels.rbegin(); k != kernels.rend(); ++k) {
    if (k->supported()) return *k;
  }
  return kernels.front();
}

void filter_lanes(const double* x, double* h, double* y, int lanes, int count) {
  widest_filter().run(x, h, y, lanes, count);
}
