// Offset and gain search: the literal search against the shipped one on
// generated windows, with the ratio literal / shipped for each (with the widest
// vector loops this processor runs, as wavmatch2 does, and with the two-double
// loops of processors without AVX2) and a bit-for-bit check of every result;
// then the equal-loudness filter in ns per frame.
//
//   build-dir/bench/bench_search
//
// Targets: median ratio at least 1000 on the realistic windows, no window
// below 500. The exit status is 1 when a result differs from the literal search.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "filter_one_track.h"
#include "held_memory.h"
#include "offset_search.h"
#include "offset_search_kernels.h"
#include "offset_search_literal.h"
#include "search_windows.h"

namespace {

using search_windows::window_pair;

double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Median time of one call, over repeated calls for at least `budget` seconds.
double median_seconds(const std::function<void()>& run, double budget, int min_runs) {
  std::vector<double> times;
  const double start = seconds_now();
  while (static_cast<int>(times.size()) < min_runs || seconds_now() - start < budget) {
    const double t0 = seconds_now();
    run();
    times.push_back(seconds_now() - t0);
  }
  std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2), times.end());
  return times[times.size() / 2];
}

bool same_bits(const search_result& a, const search_result& b) {
  return a.silent == b.silent && a.offset == b.offset && std::memcmp(&a.gain, &b.gain, sizeof a.gain) == 0 &&
         std::memcmp(&a.score, &b.score, sizeof a.score) == 0;
}

struct bench_window {
  std::string name;
  bool realistic;
  window_pair pair;
};

std::vector<bench_window> windows() {
  std::vector<bench_window> list;
  for (int shift : {0, 576, 1105, 2112, -800, 7000}) {
    list.push_back(
        {"codec, delay " + std::to_string(shift), true, search_windows::codec_pair(7, shift, 0.97, 0.01)});
  }
  list.push_back({"unrelated music", false, search_windows::unrelated_pair(3)});
  list.push_back({"delay 9000 (outside)", false, search_windows::codec_pair(8, 9000, 0.97, 0.01)});
  list.push_back({"delay -4000 (outside)", false, search_windows::codec_pair(9, -4000, 0.97, 0.01)});
  list.push_back({"periodic table, 441", false, search_windows::periodic_pair(5, 441, 300, 1.0)});
  list.push_back({"steady tone 441 Hz", false, search_windows::tone_pair(441.0, 300, 0.0, 1)});
  window_pair nan_test = search_windows::codec_pair(10, 1105, 0.97, 0.01);
  nan_test.test[20000] = std::numeric_limits<double>::quiet_NaN();
  list.push_back({"NaN in decoded", false, nan_test});
  window_pair nan_late = search_windows::codec_pair(11, 1105, 0.97, 0.01);
  nan_late.test[36000] = std::numeric_limits<double>::quiet_NaN();
  list.push_back({"NaN late in decoded", false, nan_late});
  window_pair nan_reference = search_windows::codec_pair(12, 1105, 0.97, 0.01);
  nan_reference.reference[20000] = std::numeric_limits<double>::quiet_NaN();
  list.push_back({"NaN in original", false, nan_reference});
  return list;
}

}  // namespace

int main() {
  const std::vector<bench_window> list = windows();
  const kernel_set& widest = widest_kernels();
  const kernel_set& two_doubles = kernel_sets().front();
  std::vector<double> literal_time, shipped_time, baseline_time;
  std::vector<search_result> literal(list.size()), shipped(list.size()), baseline(list.size());
  held_memory memory;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const double* r = list[i].pair.reference.data();
    const double* t = list[i].pair.test.data();
    literal_time.push_back(median_seconds([&] { literal[i] = search_offset_literal(r, t); }, 0.0, 3));
    shipped_time.push_back(
        median_seconds([&] { shipped[i] = search_offset(r, t, widest, memory->search); }, 0.3, 5));
    baseline_time.push_back(
        median_seconds([&] { baseline[i] = search_offset(r, t, two_doubles, memory->search); }, 0.1, 3));
  }
  std::printf("vector loops: %s (and %s for the SSE2 column)\n\n", widest.name, two_doubles.name);
  std::printf("%-24s %12s %12s %9s %9s  %s\n", "window", "literal ms", "shipped us", "ratio", "SSE2 only",
              "bits");
  std::vector<double> realistic_ratios;
  double worst_ratio = std::numeric_limits<double>::infinity();
  bool all_same = true;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const bool same = same_bits(literal[i], shipped[i]) && same_bits(literal[i], baseline[i]);
    all_same = all_same && same;
    const double ratio = literal_time[i] / shipped_time[i];
    if (list[i].realistic) realistic_ratios.push_back(ratio);
    worst_ratio = std::min(worst_ratio, ratio);
    std::printf("%-24s %12.1f %12.1f %9.0f %9.0f  %s (offset %d)\n", list[i].name.c_str(),
                literal_time[i] * 1e3, shipped_time[i] * 1e6, ratio, literal_time[i] / baseline_time[i],
                same ? "same" : "DIFFERENT", shipped[i].offset);
  }
  std::sort(realistic_ratios.begin(), realistic_ratios.end());
  const double median = realistic_ratios[realistic_ratios.size() / 2 - 1] / 2 +
                        realistic_ratios[realistic_ratios.size() / 2] / 2;
  std::printf("\nmedian ratio, realistic windows: %.0f (target >= 1000)\n", median);
  std::printf("lowest ratio, all windows:       %.0f (target >= 500)\n", worst_ratio);
  std::printf("results bit-identical:           %s\n", all_same ? "yes" : "NO");

  // The filter over a second of music-like input, repeated.
  const std::vector<double> input = search_windows::music(99, 1 << 20);
  std::vector<double> output(input.size());
  const double filter_time = median_seconds(
      [&] {
        loudness_filter fresh;
        filter_run(fresh, input.data(), output.data(), static_cast<int>(input.size()));
      },
      0.5, 5);
  std::printf("filter_run:                      %.2f ns/frame (target <= 12)\n",
              filter_time * 1e9 / static_cast<double>(input.size()));
  return all_same ? 0 : 1;
}
