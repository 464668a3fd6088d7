#include "loudness_filter_reference.h"

double filter_step(loudness_filter& f, double x) {
  double h = BW_B0 * x;
  h = h + BW_B1 * f.x1;
  h = h + BW_B2 * f.x2;
  h = h + BW_A1 * f.h1;
  h = h + BW_A2 * f.h2;
  f.x2 = f.x1;
  f.x1 = x;
  f.h2 = f.h1;
  f.h1 = h;

  double y = YW_B[0] * h;
  for (int k = 1; k <= 10; ++k) y = y + YW_B[k] * f.hy[k - 1];
  for (int k = 1; k <= 10; ++k) y = y + YW_A[k] * f.y[k - 1];
  for (int k = 9; k > 0; --k) {
    f.hy[k] = f.hy[k - 1];
    f.y[k] = f.y[k - 1];
  }
  f.hy[0] = h;
  f.y[0] = y;
  return y;
}
