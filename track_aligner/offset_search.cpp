// The shipped offset and gain search. It returns the bits of the literal search
// (tests/reference/offset_search_literal.cpp) without summing every candidate:
//
//  - The winner is the candidate with the smallest complete residual, the most
//    negative offset among equals. Candidates can therefore be visited in any
//    order, and a candidate whose residual provably exceeds one already
//    computed exactly can be dropped without its own sums.
//  - Prefix sums of the squared decoded values bracket every candidate's test
//    energy within a margin that covers all rounding, and so its gain.
//  - With the gain bracketed, the distance between the scaled decoded value and
//    the original at a few loud positions bounds the residual from below.
//  - When many candidates survive that (music unrelated to the original, a
//    delay outside the range), every candidate's correlation with the
//    original, computed by Fourier transform with a proven error bound,
//    bounds its residual as a whole (offset_search_correlation.cpp).
//  - A perfect match (residual exactly 0) rules out a candidate before it as
//    soon as two loud positions ask for different gains: near a periodic
//    match (a steady tone) the bounds cannot tell rounding apart.
//  - Candidates that survive are summed exactly as the literal search does,
//    sixteen at a time in vector lanes (offset_search_kernels.cpp), the
//    most promising first.
//
// Every bound below is a rigorous one for IEEE double arithmetic with rounding
// to nearest and gradual underflow, with safety factors far above the rounding
// error it has to cover (the unit roundoff is 1.1e-16).
#include "offset_search.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>

#include "offset_search_correlation.h"
#include "offset_search_internal.h"

namespace search_internal {
namespace {

// Every group's index, in order: 0, 1, ..., GROUPS - 1. (A fixed table rather
// than std::views::iota, whose GCC 12 library Clang 14, the fuzzing build,
// cannot compile.)
constexpr std::array<int, GROUPS> ALL_GROUPS = [] {
  std::array<int, GROUPS> groups{};
  std::iota(groups.begin(), groups.end(), 0);
  return groups;
}();

// Relative error bound of the prefix sums of squares (at most 20000 terms a
// sum, three sums joined: about 7e-12 of the total).
constexpr double PREFIX_SLACK = 2e-11;
// Relative error of one candidate's summed test energy (30000 terms: 3.4e-12).
constexpr double ENERGY_SLACK = 1e-11;
// Energies, gains and values the bounds are proven for; outside these ranges a
// candidate is simply summed exactly.
constexpr double ENERGY_MIN = 0x1p-450;
constexpr double ENERGY_MAX = 0x1p450;
constexpr double VALUE_MAX = 0x1p200;
constexpr double BRACKET_RATIO_MAX = 4.0;

// Loud positions of the original: the loudest of each segment of
// SEGMENT_STEPS survey steps (three positions a step). The FIRST_LEVEL loudest
// of all come first and bound every candidate; the others follow in an order
// that spreads any run of them over the stretch, and are added for candidates
// that survive, REFINE_STEP at a time.
constexpr int POOL_STRIDE = 1237;  // coprime with POOL_SIZE, near 0.618 of it
constexpr int FIRST_LEVEL = 8;
constexpr int REFINE_STEP = 32;
// Refining stops early for a group whose open candidates' bounds, extrapolated
// to the whole pool, stay under this share of the best residual (they would
// not rule the group out; the group is then summed exactly). Candidates
// already ruled out do not count: near a periodic match one open candidate
// with a bound near 0 shares its group with three hopeless ones.
constexpr int REFINE_TRIAL = 128;
constexpr double REFINE_HOPE = 0.5;
// More groups than this left after the first exact sums: bound all candidates
// by their correlation with the original (the transforms cost about as much
// as summing this many groups exactly).
constexpr int CORRELATION_THRESHOLD = 160;
// Relative rounding margin of the residual's quadratic form in the gain.
constexpr double QUADRATIC_SLACK = 1e-12;
// Relative margin by which the quadratic form must clear the square of the
// norm a bound above the best residual needs, to rule a candidate out without
// computing the bound (covers the rounding of a few operations).
constexpr double CLEAR_SLACK = 1e-12;
// A perfect match rules out the candidates before it that provably miss it
// at one of this many loud positions; the gains that could give e = 0 at a
// position lie within this relative distance of r / x (8 units of 2^-53).
constexpr int EXACT_MATCH_POSITIONS = 32;
constexpr double EXACT_MATCH_SLACK = 0x1p-50;
// Values and quotients the proof holds for: far from underflow and overflow.
constexpr double TINY_VALUE = 0x1p-400;
constexpr double HUGE_VALUE = 0x1p400;
// Loud positions at which candidates with equal bounds are compared.
constexpr int MISFIT_POSITIONS = 16;
// A candidate whose misfit there exceeds this share of the original's energy
// there fits poorly (a codec leaves a few percent at most).
constexpr double POOR_FIT = 0.5;

constexpr search_result SILENT = {true, 0, 1.0, 0.0};
// A bound that rules a candidate out; a margin for which no bound is proven.
constexpr double POSITIVE_INFINITY = std::numeric_limits<double>::infinity();

search_result no_winner(double reference_energy) {
  return {false, 0, 0.0, std::sqrt(INITIAL_BEST_RESIDUAL / reference_energy)};
}

double larger(double a, double b) { return b > a ? b : a; }

// Sums the reference energy in its literal order and, alongside that chain of
// additions, the prefix sums of the decoded squares and the loudest reference
// position of every pool segment.
window_survey survey_windows(const double* stretch, const double* test, search_workspace& w) {
  double reference_energy = 0.0;
  double head = 0.0, tail = 0.0, middle_even = 0.0, middle_odd = 0.0;
  double largest_head = 0.0, largest_tail = 0.0, largest_even = 0.0, largest_odd = 0.0;
  w.head[0] = 0.0;
  w.tail[0] = 0.0;
  for (int segment = 0; segment < POOL_SIZE; ++segment) {
    double loudness = -1.0;
    int loudest = 0;
    for (int step = 0; step < SEGMENT_STEPS; ++step) {
      const int i = segment * SEGMENT_STEPS + step;
      for (int k = 3 * i; k < 3 * i + 3; ++k) {
        const double r = stretch[k];
        reference_energy = reference_energy + r * r;
        const double magnitude = std::fabs(r);
        if (magnitude > loudness) {
          loudness = magnitude;
          loudest = k;
        }
      }
      const double h = test[i];
      head = head + h * h;
      w.head[i + 1] = head;
      largest_head = larger(largest_head, std::fabs(h));
      const double even = test[HEAD_END + 2 * i];
      const double odd = test[HEAD_END + 2 * i + 1];
      middle_even = middle_even + even * even;
      middle_odd = middle_odd + odd * odd;
      largest_even = larger(largest_even, std::fabs(even));
      largest_odd = larger(largest_odd, std::fabs(odd));
      // The last decoded position is never read.
      const double t = i < TAIL_LENGTH ? test[TAIL_BEGIN + i] : 0.0;
      tail = tail + t * t;
      w.tail[i + 1] = tail;
      largest_tail = larger(largest_tail, std::fabs(t));
    }
    w.loudest[segment] = loudest;
    w.loudness[segment] = loudness;
  }
  const double middle = middle_even + middle_odd;
  const double largest = larger(larger(largest_head, largest_tail), larger(largest_even, largest_odd));
  return {reference_energy, middle, largest, std::isfinite(head + middle + tail)};
}

// True when some candidate's stretch has only values whose squares are 0.
bool has_silent_stretch(const double* test) {
  // Every stretch covers positions CANDIDATES - 1 .. TAIL_BEGIN - 1.
  for (int i = CANDIDATES - 1; i < TAIL_BEGIN; ++i) {
    if (test[i] * test[i] != 0.0) return false;
  }
  int run = 0;
  for (int i = 0; i < TAIL_BEGIN + TAIL_LENGTH; ++i) {
    run = test[i] * test[i] == 0.0 ? run + 1 : 0;
    if (run >= REFERENCE_LENGTH) return true;
  }
  return false;
}

// Marks the candidates whose stretch holds a NaN or an infinity: their gain
// or residual is NaN, so they are never taken. Returns a copy of the window
// with those values set to 0, for the bounds of the other candidates.
const double* exclude_non_finite(const double* test, search_workspace& w) {
  std::array<int, ANALYSIS_WINDOW + 1>& bad_before = w.bad_before;
  bad_before[0] = 0;
  std::copy(test, test + ANALYSIS_WINDOW, w.finite_test.begin());
  for (int i = 0; i < ANALYSIS_WINDOW; ++i) {
    const bool bad = !std::isfinite(test[i]);
    if (bad) w.finite_test[i] = 0.0;
    bad_before[i + 1] = bad_before[i] + (bad ? 1 : 0);
  }
  for (int c = 0; c < CANDIDATES; ++c) {
    if (bad_before[c + REFERENCE_LENGTH] != bad_before[c]) {
      w.open[c] = 0;
      w.bound[c] = POSITIVE_INFINITY;
    }
  }
  return w.finite_test.data();
}

// Sum of the squared decoded values over positions first .. end - 1, as the
// prefix sums give it (first < HEAD_END, end >= TAIL_BEGIN).
double stretch_sum(const search_workspace& w, double middle, int first, int end) {
  return (w.head[HEAD_END] - w.head[first]) + middle + w.tail[end - TAIL_BEGIN];
}

// Brackets the test energy of each group's four candidates and from it their
// gain. A group the bounds are not proven for gets a bracket that bounds
// nothing (every term 0), so that its candidates are summed exactly.
void bracket_gains(search_workspace& w, const window_survey& s) {
  const double total = stretch_sum(w, s.middle, 0, TAIL_BEGIN + TAIL_LENGTH);
  const double error = PREFIX_SLACK * total;
  const double e_ref = s.reference_energy;
  const bool provable =
      e_ref >= ENERGY_MIN && e_ref <= ENERGY_MAX && s.largest <= VALUE_MAX && total <= ENERGY_MAX;
  for (int g = 0; g < GROUPS; ++g) {
    const int c = g * GROUP_WIDTH;
    // The shortest and the longest stretch of the group hold every candidate's.
    const double inner = stretch_sum(w, s.middle, c + GROUP_WIDTH - 1, c + REFERENCE_LENGTH);
    const double outer = stretch_sum(w, s.middle, c, c + GROUP_WIDTH - 1 + REFERENCE_LENGTH);
    const double low = (inner - error) * (1.0 - ENERGY_SLACK);
    const double high = (outer + error) * (1.0 + ENERGY_SLACK);
    bound_group& b = w.groups[g];
    b.window = c;
    w.energy_low[g] = low;
    w.energy_high[g] = high;
    if (e_ref / high == POSITIVE_INFINITY) {
      // Even the largest test energy leaves the gain infinite: every residual
      // is then infinite or NaN (0 * infinity), and never taken.
      for (int j = c; j < c + GROUP_WIDTH; ++j) {
        w.open[j] = 0;
        w.bound[j] = POSITIVE_INFINITY;
      }
    }
    if (provable && low >= ENERGY_MIN && high <= BRACKET_RATIO_MAX * low) {
      // Division and square root round monotonically, so these enclose the
      // gain that the exact energy gives.
      b.gain_low = std::sqrt(e_ref / high);
      b.gain_high = std::sqrt(e_ref / low);
      b.margin = TERM_SLACK * s.largest * b.gain_high + TERM_FLOOR;
    } else {
      b.gain_low = 0.0;
      b.gain_high = 0.0;
      b.margin = POSITIVE_INFINITY;
    }
  }
}

}  // namespace

// Orders the segments' loudest positions into the pool and widens each value
// by its rounding margin.
bound_pool build_pool(const double* stretch, search_workspace& w) {
  // The FIRST_LEVEL loudest segments, loudest first.
  int top[FIRST_LEVEL];
  int found = 0;
  for (int segment = 0; segment < POOL_SIZE; ++segment) {
    const double level = w.loudness[segment];
    if (found == FIRST_LEVEL && level <= w.loudness[top[FIRST_LEVEL - 1]]) continue;
    int slot = found < FIRST_LEVEL ? found++ : FIRST_LEVEL - 1;
    for (; slot > 0 && w.loudness[top[slot - 1]] < level; --slot) top[slot] = top[slot - 1];
    top[slot] = segment;
  }
  bool taken[POOL_SIZE] = {};
  int filled = 0;
  auto take = [&](int segment) {
    taken[segment] = true;
    const double r = stretch[w.loudest[segment]];
    const double margin = TERM_SLACK * std::fabs(r) + TERM_FLOOR;
    w.pool_position[filled] = w.loudest[segment];
    w.pool_above[filled] = r + margin;
    w.pool_below[filled] = r - margin;
    ++filled;
  };
  for (int i = 0; i < found; ++i) take(top[i]);
  for (int i = 0; i < POOL_SIZE; ++i) {
    const int segment = i * POOL_STRIDE % POOL_SIZE;
    if (!taken[segment]) take(segment);
  }
  return {filled, w.pool_position.data(), w.pool_above.data(), w.pool_below.data()};
}

// Closes candidate c once its bound or a perfect match rules it out; true
// while it stays open.
bool search_state::recheck_open(int c) {
  if (w.open[c] && (best.rules_out(lower_bound(c), c) || loses_to_exact_match(c))) w.open[c] = 0;
  return w.open[c] != 0;
}

// With a perfect match found (residual exactly 0), a candidate before it
// could only tie it with a residual of exactly 0: every e = x * g - r of
// its sum would have to be 0, which means that the rounded product x * g
// equals r at every position. Such a g lies within 8 units in the last
// place of r / x (the product is within half a unit of r, the quotient
// within half a unit of r / x). When the intervals of two loud positions do
// not meet, or one misses the group's gain bracket, no gain gives 0 at both:
// one e is at least a unit in the last place of r (r >= 2^-400), its
// square is positive, and so is the complete residual. Near a periodic
// match this proves in a few divisions what the exact sums would show.
bool search_state::loses_to_exact_match(int c) {
  if (best.residual != 0.0 || c > best.candidate || w.exact_tried[c]) return false;
  w.exact_tried[c] = 1;
  const bound_group& b = w.groups[c / GROUP_WIDTH];
  const bool bracketed = b.margin != POSITIVE_INFINITY;
  double low = bracketed ? b.gain_low : 0.0;
  double high = bracketed ? b.gain_high : POSITIVE_INFINITY;
  const int positions = std::min(pool.count, EXACT_MATCH_POSITIONS);
  for (int i = 0; i < positions; ++i) {
    const int k = pool.position[i];
    const double r = stretch[k];
    const double x = test[c + k];
    if (!(std::fabs(r) >= TINY_VALUE) || !std::isfinite(r) || !std::isfinite(x)) continue;
    // A gain is positive: x of the other sign, or 0, leaves |e| >= |r|.
    if (x == 0.0 || std::signbit(x) != std::signbit(r)) return true;
    const double ratio = r / x;
    if (!(ratio >= TINY_VALUE && ratio <= HUGE_VALUE)) continue;
    low = std::max(low, ratio * (1.0 - EXACT_MATCH_SLACK));
    high = std::min(high, ratio * (1.0 + EXACT_MATCH_SLACK));
    if (low > high) return true;
  }
  return false;
}

// The squared misfit at the loudest positions with the gain fitted there:
// how well candidate c matches, as a hint for the order of exact sums where
// the bounds cannot tell candidates apart (all 0 near a periodic match).
double search_state::misfit(int c) const {
  const int positions = std::min(pool.count, MISFIT_POSITIONS);
  double xx = 0.0, xr = 0.0;
  for (int i = 0; i < positions; ++i) {
    const double x = finite_test[c + pool.position[i]];
    xx += x * x;
    xr += x * stretch[pool.position[i]];
  }
  const double gain = xx > 0.0 ? xr / xx : 0.0;
  double sum = 0.0;
  for (int i = 0; i < positions; ++i) {
    const double e = finite_test[c + pool.position[i]] * gain - stretch[pool.position[i]];
    sum += e * e;
  }
  return sum;
}

// Lists the groups with a candidate still open.
void search_state::list_open_groups() {
  w.open_groups.clear();
  for (int g = 0; g < GROUPS; ++g) {
    if (recheck_group_open(g)) w.open_groups.push_back(g);
  }
}

// Drops the groups whose candidates are all closed from the list.
void search_state::shorten_open_groups() {
  fixed_list<int, GROUPS>& list = w.open_groups;
  list.count = static_cast<int>(
      std::remove_if(list.begin(), list.end(), [this](int g) { return !recheck_group_open(g); }) -
      list.begin());
}

// Rechecks each of the group's candidates; true while one stays open.
bool search_state::recheck_group_open(int g) {
  bool any = false;
  for (int j = 0; j < GROUP_WIDTH; ++j) any = recheck_open(g * GROUP_WIDTH + j) || any;
  return any;
}

// Adds pool entries to the group's bounds until its candidates are ruled
// out or the pool is used up.
void search_state::refine(int g, int until) {
  double* bound = &w.bound[g * GROUP_WIDTH];
  while (w.used[g] < until && recheck_group_open(g)) {
    const int to = std::min(w.used[g] + REFINE_STEP, until);
    kernels.add_bound_terms(finite_test, pool, w.used[g], to, &w.groups[g], 1, bound);
    w.used[g] = to;
    double most = 0.0;
    for (int j = 0; j < GROUP_WIDTH; ++j) {
      if (recheck_open(g * GROUP_WIDTH + j)) most = std::max(most, bound[j]);
    }
    if (to >= REFINE_TRIAL && most / to * pool.count < REFINE_HOPE * best.residual) break;
  }
}

// Bounds every open candidate's residual through its correlation C with
// the original. With X the exact test energy, E the exact reference energy
// and g the gain, the exact residual is g^2 X - 2 g C + E; its least value
// over the gain bracket, with X, C and E at their bracket ends, bounds the
// exact residual, and the summed one lies within a relative 1e-15 of it in
// the 2-norm (rounding of x * g and of the difference).
void search_state::bound_by_correlation(double decoded_energy) {
  const double error =
      correlate_candidates(finite_test, stretch, (decoded_energy + reference_energy) * (1.0 + PREFIX_SLACK),
                           w.correlation.data(), kernels, w.transform);
  const double reference_low = reference_energy * (1.0 - ENERGY_SLACK);
  // The bound below exceeds the best residual exactly when its norm exceeds
  // this; a candidate that plainly clears it is ruled out without the root.
  const double least_norm = std::sqrt((best.residual + TERM_FLOOR) / (1.0 - BOUND_SHRINK));
  for (int g : w.open_groups) {
    const bound_group& b = w.groups[g];
    if (b.margin == POSITIVE_INFINITY) continue;  // bounds not proven for this group
    const double x_low = w.energy_low[g];
    const double x_high = w.energy_high[g];
    const double slack = TERM_SLACK * b.gain_high * std::sqrt(x_high) + TERM_FLOOR;
    const double root_needed = (least_norm + slack) / (1.0 - TERM_SLACK);
    const double clears = root_needed * root_needed * (1.0 + CLEAR_SLACK);
    for (int c = g * GROUP_WIDTH; c < (g + 1) * GROUP_WIDTH; ++c) {
      if (!w.open[c]) continue;
      const double c_high = w.correlation[c] + error;
      const double gain = std::clamp(c_high / x_low, b.gain_low, b.gain_high);
      const double quadratic = (gain * gain * x_low - 2.0 * c_high * gain) + reference_low;
      const double margin =
          QUADRATIC_SLACK * (gain * gain * x_high + 2.0 * std::fabs(c_high) * gain + reference_energy);
      const double least = std::max(quadratic - margin, 0.0);
      if (least > clears) {
        w.open[c] = 0;
        continue;
      }
      const double norm = (1.0 - TERM_SLACK) * std::sqrt(least) - slack;
      if (norm > 0.0) w.whole_bound[c] = norm * norm * (1.0 - BOUND_SHRINK) - TERM_FLOOR;
    }
  }
}

// The open candidate of the listed groups with the smallest bound, -1 if
// none is open.
template <class group_list>
int search_state::most_promising(const group_list& groups_to_search) {
  int seed = -1;
  double seed_bound = 0.0;
  int ties = 0;
  for (int g : groups_to_search) {
    for (int c = g * GROUP_WIDTH; c < (g + 1) * GROUP_WIDTH; ++c) {
      if (!w.open[c]) continue;
      const double low = lower_bound(c);
      if (seed < 0 || low < seed_bound) {
        seed = c;
        seed_bound = low;
        ties = 0;
      } else if (low == seed_bound) {
        ++ties;
      }
    }
  }
  if (seed < 0) return -1;
  // Equal bounds (all 0 near a periodic match): the closest fit goes first.
  if (ties > 0) {
    double seed_misfit = misfit(seed);
    for (int g : groups_to_search) {
      for (int c = g * GROUP_WIDTH; c < (g + 1) * GROUP_WIDTH; ++c) {
        if (c <= seed || !w.open[c] || lower_bound(c) != seed_bound) continue;
        const double m = misfit(c);
        if (m < seed_misfit) {
          seed = c;
          seed_misfit = m;
        }
      }
    }
  }
  return seed;
}

// Sums exactly the candidate `seed` and the groups around it.
void search_state::sum_around(int seed) {
  if (seed < 0) return;
  const int first = std::clamp(seed / GROUP_WIDTH - 1, 0, GROUPS - BATCH_GROUPS);
  const int groups[BATCH_GROUPS] = {first, first + 1, first + 2, first + 3};
  sum_exactly(groups, BATCH_GROUPS);
}

// True when candidate c matches so poorly at the loudest positions that
// the windows hold unrelated music, or a delay outside the range: then only
// the correlation bound rules candidates out, and it goes first.
bool search_state::fits_poorly(int c) const {
  const int positions = std::min(pool.count, MISFIT_POSITIONS);
  double energy = 0.0;
  for (int i = 0; i < positions; ++i) energy += stretch[pool.position[i]] * stretch[pool.position[i]];
  return misfit(c) > POOR_FIT * energy;
}

// Sums up to four groups exactly, as the literal search does, and keeps the
// best complete residual among their open candidates.
void search_state::sum_exactly(const int* groups, int count) {
  int window[BATCH_GROUPS];
  bool active[BATCH_LANES];
  for (int q = 0; q < BATCH_GROUPS; ++q) {
    const int g = groups[q < count ? q : 0];
    window[q] = g * GROUP_WIDTH;
    for (int j = 0; j < GROUP_WIDTH; ++j) {
      active[q * GROUP_WIDTH + j] = q < count && recheck_open(window[q] + j);
    }
  }
  if (std::find(std::begin(active), std::end(active), true) == std::end(active)) return;
  double energy[BATCH_LANES], gain[BATCH_LANES], residual[BATCH_LANES];
  kernels.sum_batch_energies(test, window, energy);
  for (int i = 0; i < BATCH_LANES; ++i) gain[i] = std::sqrt(reference_energy / energy[i]);
  const bool complete =
      kernels.sum_batch_residuals(stretch, test, window, gain, active, best.residual, residual);
  for (int i = 0; i < BATCH_LANES; ++i) {
    if (!active[i]) continue;
    const int c = window[i / GROUP_WIDTH] + i % GROUP_WIDTH;
    w.open[c] = 0;
    if (complete && best.beaten_by(residual[i], c)) best = {residual[i], gain[i], c};
  }
}

prepared_search prepare_search(const double* stretch, const double* test, search_workspace& w) {
  window_survey survey = survey_windows(stretch, test, w);
  if (survey.reference_energy == 0.0) return {true, SILENT, survey, test};
  // The literal search stops at the first stretch with zero test energy,
  // whatever the candidates before it found.
  if (has_silent_stretch(test)) return {true, SILENT, survey, test};
  // A NaN or infinite reference energy makes every gain or residual NaN or
  // infinite: no candidate is ever taken.
  if (!std::isfinite(survey.reference_energy)) {
    return {true, no_winner(survey.reference_energy), survey, test};
  }
  std::fill(w.open.begin(), w.open.end(), 1);
  std::fill(w.exact_tried.begin(), w.exact_tried.end(), 0);
  std::fill(w.bound.begin(), w.bound.end(), 0.0);
  std::fill(w.whole_bound.begin(), w.whole_bound.end(), 0.0);
  const double* finite_test = test;
  if (!survey.sums_finite) {
    // Rare: NaN, infinities or huge values. The bounds read a finite copy
    // (summed again) and leave out the candidates that read a non-finite value.
    finite_test = exclude_non_finite(test, w);
    survey = survey_windows(stretch, finite_test, w);
  }
  bracket_gains(w, survey);
  return {false, {}, survey, finite_test};
}

double decoded_energy(const search_workspace& w, const window_survey& s) {
  return stretch_sum(w, s.middle, 0, TAIL_BEGIN + TAIL_LENGTH);
}

}  // namespace search_internal

search_result search_offset(const double* reference, const double* test, const kernel_set& kernels,
                            search_workspace& w) {
  using namespace search_internal;
  const double* stretch = reference + REFERENCE_BEGIN;
  const prepared_search p = prepare_search(stretch, test, w);
  if (p.finished) return p.result;
  const window_survey& survey = p.survey;
  const double* finite_test = p.finite_test;
  search_state state{stretch, test, finite_test, survey.reference_energy, build_pool(stretch, w),
                     w,       {},   kernels};

  // A first bound for every candidate, from the loudest positions only.
  kernels.add_bound_terms(finite_test, state.pool, 0, FIRST_LEVEL, w.groups.data(), GROUPS, w.bound.data());
  std::fill(w.used.begin(), w.used.end(), FIRST_LEVEL);

  // The candidate with the smallest first bound is most likely the match:
  // summing it and its neighbours exactly first makes the best residual small
  // before the other candidates are bounded more closely. Where even that
  // candidate fits poorly, or where many groups stay open after it, every
  // candidate is bounded by its correlation and the most promising by that
  // bound is summed.
  const double decoded = decoded_energy(w, survey);
  const int seed = state.most_promising(ALL_GROUPS);
  if (seed >= 0 && survey.sums_finite && state.fits_poorly(seed)) {
    state.list_open_groups();
    state.bound_by_correlation(decoded);
    state.sum_around(state.most_promising(w.open_groups));
    state.shorten_open_groups();
  } else {
    state.sum_around(seed);
    state.list_open_groups();
    if (survey.sums_finite && w.open_groups.size() > CORRELATION_THRESHOLD) {
      state.bound_by_correlation(decoded);
      state.sum_around(state.most_promising(w.open_groups));
      state.shorten_open_groups();
    }
  }

  // Closer bounds for the rest, then the survivors summed exactly, the most
  // promising (smallest bound, then most negative offset) first.
  w.order.clear();
  for (int g : w.open_groups) {
    state.refine(g, state.pool.count);
    double key = POSITIVE_INFINITY;
    for (int c = g * GROUP_WIDTH; c < (g + 1) * GROUP_WIDTH; ++c) {
      if (state.recheck_open(c)) key = std::min(key, state.lower_bound(c));
    }
    if (key != POSITIVE_INFINITY) w.order.push_back({key, g});
  }
  std::sort(w.order.begin(), w.order.end());
  int batch[BATCH_GROUPS];
  int count = 0;
  for (std::size_t i = 0; i < w.order.size(); ++i) {
    if (state.recheck_group_open(w.order[i].second)) batch[count++] = w.order[i].second;
    if (count == BATCH_GROUPS || (i + 1 == w.order.size() && count > 0)) {
      state.sum_exactly(batch, count);
      count = 0;
    }
  }

  const best_match& best = state.best;
  if (best.candidate == INT_MIN) return no_winner(survey.reference_energy);
  return {false, MIN_OFFSET + best.candidate, best.gain, std::sqrt(best.residual / survey.reference_energy)};
}

search_result find_offset_and_gain(const wav_track& original, wav_track& track, search_workspace& w) {
  const search_result found = search_offset(original.samples, track.samples, widest_kernels(), w);
  if (!found.silent) {
    track.offset = found.offset;
    track.gain = found.gain;
    track.score = found.score;
  }
  return found;
}
