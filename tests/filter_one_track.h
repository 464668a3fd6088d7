// Tracks through the program's lane filter, a block at a time, each track's
// state kept in a loudness_filter between blocks: lane l carries track l, a
// lane beyond the tracks stays silent, and the history moves from block to
// block as the capture moves it.
#pragma once

#include <vector>

#include "loudness_filter.h"
#include "loudness_filter_reference.h"

// count values of each track, in[t] to out[t], through `kernel`.
inline void filter_side_by_side(const filter_kernel& kernel, std::vector<loudness_filter>& f,
                                const std::vector<const double*>& in, const std::vector<double*>& out,
                                int count) {
  constexpr int XH = 2, HH = 10;
  const int tracks = static_cast<int>(f.size());
  const int lanes = tracks + tracks % 2;
  const auto at = [lanes](int frame, int lane) { return static_cast<std::size_t>(frame * lanes + lane); };
  std::vector<double> x(at(XH + count, 0)), h(at(HH + count, 0)), y(at(HH + count, 0));
  for (int t = 0; t < tracks; ++t) {
    x[at(0, t)] = f[t].x2;
    x[at(1, t)] = f[t].x1;
    for (int k = 1; k <= HH; ++k) {
      h[at(HH - k, t)] = f[t].hy[k - 1];
      y[at(HH - k, t)] = f[t].y[k - 1];
    }
    for (int i = 0; i < count; ++i) x[at(XH + i, t)] = in[t][i];
  }
  kernel.run(&x[at(XH, 0)], &h[at(HH, 0)], &y[at(HH, 0)], lanes, count);
  for (int t = 0; t < tracks; ++t) {
    for (int i = 0; i < count; ++i) out[t][i] = y[at(HH + i, t)];
    f[t].x2 = x[at(count, t)];
    f[t].x1 = x[at(count + 1, t)];
    for (int k = 1; k <= HH; ++k) {
      f[t].hy[k - 1] = h[at(HH + count - k, t)];
      f[t].y[k - 1] = y[at(HH + count - k, t)];
    }
    f[t].h1 = f[t].hy[0];
    f[t].h2 = f[t].hy[1];
  }
}

// One track through the kernel the program takes.
inline void filter_run(loudness_filter& f, const double* in, double* out, int count) {
  std::vector<loudness_filter> one{f};
  filter_side_by_side(widest_filter(), one, {in}, {out}, count);
  f = one[0];
}
