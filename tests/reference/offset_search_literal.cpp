// The offset and gain search written out term by term. It is the reference the
// fast search in offset_search.cpp must reproduce bit for bit, and what the
// tests and benchmarks compare against.
#include "offset_search_literal.h"

#include <cmath>

search_result search_offset_literal(const double* reference, const double* test) {
  double reference_energy = 0.0;
  for (int k = REFERENCE_BEGIN; k < REFERENCE_END; ++k) {
    reference_energy = reference_energy + reference[k] * reference[k];
  }
  // Digital silence in the original: nothing to match against.
  if (reference_energy == 0.0) return {true, 0, 1.0, 0.0};

  double best = INITIAL_BEST_RESIDUAL;
  double best_gain = 0.0;
  int best_offset = 0;
  for (int d = MIN_OFFSET; d <= MAX_OFFSET; ++d) {
    double test_energy = 0.0;
    for (int k = REFERENCE_BEGIN; k < REFERENCE_END; ++k) {
      test_energy = test_energy + test[k + d] * test[k + d];
    }
    if (test_energy == 0.0) return {true, 0, 1.0, 0.0};
    const double gain = std::sqrt(reference_energy / test_energy);
    double residual = 0.0;
    for (int k = REFERENCE_BEGIN; k < REFERENCE_END; ++k) {
      const double e = test[k + d] * gain - reference[k];
      residual = residual + e * e;
      if (residual > best) break;
    }
    if (residual < best) {
      best = residual;
      best_gain = gain;
      best_offset = d;
    }
  }
  return {false, best_offset, best_gain, std::sqrt(best / reference_energy)};
}
