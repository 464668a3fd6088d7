// The lower bounds of the shipped search, taken through its working state:
// every loud position and the correlation bound applied to every candidate.
#include "offset_search_audit.h"

#include "offset_search_internal.h"

bool residual_lower_bounds(const double* reference, const double* test, double* low,
                           const kernel_set& kernels, search_workspace& w) {
  using namespace search_internal;
  const double* stretch = reference + REFERENCE_BEGIN;
  const prepared_search p = prepare_search(stretch, test, w);
  if (p.finished) return false;
  search_state state{stretch, test, p.finite_test, p.survey.reference_energy, build_pool(stretch, w),
                     w,       {},   kernels};
  kernels.add_bound_terms(p.finite_test, state.pool, 0, state.pool.count, w.groups.data(), GROUPS,
                          w.bound.data());
  if (p.survey.sums_finite) {
    state.list_open_groups();
    state.bound_by_correlation(decoded_energy(w, p.survey));
  }
  for (int c = 0; c < CANDIDATES; ++c) low[c] = state.lower_bound(c);
  return true;
}
