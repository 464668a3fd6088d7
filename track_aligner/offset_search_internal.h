// The shipped search's working state, shared with the audit of its lower
// bounds that the tests run (tests/reference/offset_search_audit.cpp). Not an
// interface for the program: main and the report use offset_search.h.
#pragma once

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <utility>

#include "offset_search.h"
#include "offset_search_correlation.h"
#include "offset_search_kernels.h"

namespace search_internal {

constexpr int CANDIDATES = MAX_OFFSET - MIN_OFFSET + 1;  // 10000
constexpr int GROUPS = CANDIDATES / GROUP_WIDTH;
static_assert(CANDIDATES % GROUP_WIDTH == 0, "candidates come in whole groups");
// Candidate c (offset MIN_OFFSET + c) reads decoded positions c .. c + 29999.
// Positions HEAD_END .. TAIL_BEGIN - 1 belong to every candidate's stretch.
constexpr int HEAD_END = CANDIDATES;
constexpr int TAIL_BEGIN = REFERENCE_LENGTH;
constexpr int TAIL_LENGTH = CANDIDATES - 1;  // the last position is never read
static_assert(TAIL_BEGIN >= HEAD_END, "every stretch covers the middle part");
static_assert(REFERENCE_LENGTH == 3 * CANDIDATES, "the survey reads three values a step");
// Loud positions of the original: the loudest of each segment of
// SEGMENT_STEPS survey steps (three positions a step) make the pool.
constexpr int SEGMENT_STEPS = 5;
constexpr int POOL_SIZE = CANDIDATES / SEGMENT_STEPS;
// Rounding margins of a bound term: relative (90 ulp) and absolute, for
// values near underflow.
constexpr double TERM_SLACK = 1e-14;
constexpr double TERM_FLOOR = 1e-300;
// A summed bound is shrunk by this much to cover the rounding of its own sum
// and of the residual's 30000 additions.
constexpr double BOUND_SHRINK = 1e-10;

// A list of at most N values in place, for the workspace below.
template <class T, int N>
struct fixed_list {
  T items[N];
  int count = 0;
  void clear() { count = 0; }
  void push_back(const T& value) { items[count++] = value; }
  T* begin() { return items; }
  T* end() { return items + count; }
  const T* begin() const { return items; }
  const T* end() const { return items + count; }
  std::size_t size() const { return static_cast<std::size_t>(count); }
  const T& operator[](std::size_t i) const { return items[i]; }
};

// Everything the search works in, of fixed size: part of the run's working
// memory (run_memory.h), made once and reused by every search, so that no
// search pays for fresh memory.
struct search_workspace {
  std::array<double, HEAD_END + 1> head;               // head[j]: sum of squares of positions 0 .. j-1
  std::array<double, CANDIDATES + 1> tail;             // tail[j]: sum over TAIL_BEGIN .. TAIL_BEGIN+j-1
  std::array<double, ANALYSIS_WINDOW> finite_test;     // the decoded window with non-finite values as 0
  std::array<int, ANALYSIS_WINDOW + 1> bad_before;     // non-finite decoded values before each position
  std::array<int, POOL_SIZE> loudest;                  // per pool segment: its loudest position
  std::array<double, POOL_SIZE> loudness;              // and that position's magnitude
  std::array<double, CANDIDATES> bound;                // per candidate: summed bound terms
  std::array<double, CANDIDATES> whole_bound;          // per candidate: bound from the correlation
  std::array<double, CANDIDATES> correlation;          // per candidate
  std::array<double, GROUPS> energy_low, energy_high;  // per group: test energy bracket
  fixed_list<int, GROUPS> open_groups;                 // groups with a candidate still open
  fixed_list<std::pair<double, int>, GROUPS> order;    // open groups by their least bound
  std::array<unsigned char, CANDIDATES> open;          // per candidate: still to be decided
  std::array<unsigned char, CANDIDATES> exact_tried;   // per candidate: checked against a perfect match
  std::array<bound_group, GROUPS> groups;
  std::array<int, GROUPS> used;  // per group: pool entries summed into its bounds
  std::array<int, POOL_SIZE> pool_position;
  std::array<double, POOL_SIZE> pool_above, pool_below;
  transform_buffers transform;  // the correlation's
};

// What one pass over both windows learns.
struct window_survey {
  double reference_energy;  // summed exactly as the literal search does
  double middle;            // sum of squares over HEAD_END .. TAIL_BEGIN - 1
  double largest;           // largest magnitude among the decoded values read
  bool sums_finite;         // no NaN, infinity or overflow in the decoded squares
};

// The best complete residual so far. No candidate yet: the starting residual,
// which a candidate must beat strictly.
struct best_match {
  double residual = INITIAL_BEST_RESIDUAL;
  double gain = 0.0;
  int candidate = INT_MIN;

  // A candidate wins over the best so far with a smaller residual, or with an
  // equal one and a more negative offset.
  bool beaten_by(double s, int c) const { return s < residual || (s == residual && c < candidate); }
  // True when a lower bound of candidate c's residual proves that it cannot win.
  bool rules_out(double low, int c) const { return low > residual || (low >= residual && c > candidate); }
};

// One search under way: the windows, the pool of loud positions, the
// workspace, the best complete residual so far and the loops it runs.
struct search_state {
  const double* stretch;
  const double* test;
  const double* finite_test;  // the bounds read this copy
  double reference_energy;
  bound_pool pool;
  search_workspace& w;
  best_match best;
  const kernel_set& kernels;

  // The lower bound of candidate c's residual proven so far.
  double lower_bound(int c) const {
    return std::max(w.bound[c] * (1.0 - BOUND_SHRINK) - TERM_FLOOR, w.whole_bound[c]);
  }
  bool recheck_open(int c);
  bool loses_to_exact_match(int c);
  double misfit(int c) const;
  void list_open_groups();
  void shorten_open_groups();
  bool recheck_group_open(int g);
  void refine(int g, int until);
  void bound_by_correlation(double decoded_energy);
  template <class group_list>
  int most_promising(const group_list& groups_to_search);
  void sum_around(int seed);
  bool fits_poorly(int c) const;
  void sum_exactly(const int* groups, int count);
};

// The windows surveyed, every candidate open and the gains bracketed.
struct prepared_search {
  bool finished;  // the result below is final: no bounds needed
  search_result result;
  window_survey survey;
  const double* finite_test;
};

prepared_search prepare_search(const double* stretch, const double* test, search_workspace& w);
bound_pool build_pool(const double* stretch, search_workspace& w);
// Sum of the squared decoded values over every position a candidate reads.
double decoded_energy(const search_workspace& w, const window_survey& s);

}  // namespace search_internal
