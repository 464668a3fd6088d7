// One track through the program's filter_lanes, a block at a time, its state
// kept in a loudness_filter between blocks: lane 0 carries the track, lane 1
// stays silent, and the history moves from block to block as the capture
// moves it.
#pragma once

#include <vector>

#include "loudness_filter.h"
#include "loudness_filter_reference.h"

inline void filter_run(loudness_filter& f, const double* in, double* out, int count) {
  constexpr int LANES = 2, XH = 2, HH = 10;
  std::vector<double> x(static_cast<std::size_t>((XH + count) * LANES)), h((HH + count) * LANES),
      y((HH + count) * LANES);
  x[0] = f.x2;
  x[LANES] = f.x1;
  for (int k = 1; k <= HH; ++k) {
    h[static_cast<std::size_t>((HH - k) * LANES)] = f.hy[k - 1];
    y[static_cast<std::size_t>((HH - k) * LANES)] = f.y[k - 1];
  }
  for (int i = 0; i < count; ++i) x[static_cast<std::size_t>((XH + i) * LANES)] = in[i];
  filter_lanes(x.data() + XH * LANES, h.data() + HH * LANES, y.data() + HH * LANES, LANES, count);
  for (int i = 0; i < count; ++i) out[i] = y[static_cast<std::size_t>((HH + i) * LANES)];
  f.x2 = x[static_cast<std::size_t>(count * LANES)];
  f.x1 = x[static_cast<std::size_t>((count + 1) * LANES)];
  for (int k = 1; k <= HH; ++k) {
    f.hy[k - 1] = h[static_cast<std::size_t>((HH + count - k) * LANES)];
    f.y[k - 1] = y[static_cast<std::size_t>((HH + count - k) * LANES)];
  }
  f.h1 = f.hy[0];
  f.h2 = f.hy[1];
}
