#include "loudness_filter.h"

namespace {

// Butterworth high-pass, 150 Hz at 44100 Hz. b multiplies x[n-k], a multiplies
// h[n-k]; signs as they enter the sum (the denominator is 1, -a1, -a2).
constexpr double BW_B0 = 0.98500175787242;
constexpr double BW_B1 = -1.97000351574484;
constexpr double BW_B2 = 0.98500175787242;
constexpr double BW_A1 = 1.96977855582618;
constexpr double BW_A2 = -0.9702284756635;

// Yulewalk equal-loudness stage for 44100 Hz. YW_B[k] multiplies h[n-k] and
// YW_A[k] multiplies y[n-k] (YW_A[0] unused); signs as they enter the sum.
constexpr double YW_B[11] = {0.0541865640643,   -0.02911007808948, -0.00848709379851,
                             -0.00851165645469, -0.00834990904936, 0.02245293253339,
                             -0.02596338512915, 0.01624864962975,  -0.00240879051584,
                             0.00674613682247,  -0.00187763777362};
constexpr double YW_A[11] = {0.0,               3.47845948550071,  -6.36317777566148,
                             8.54751527471874,  -9.4769360780128,  8.81498681370155,
                             -6.85401540936998, 4.39470996079559,  -2.19611684890774,
                             0.75104302451432,  -0.13149317958808};

}  // namespace

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

void filter_run(loudness_filter& f, const double* in, double* out, int count) {
  // The histories live in locals for the whole block; the compiler keeps
  // them in registers instead of shifting arrays every frame.
  double x1 = f.x1, x2 = f.x2, h1 = f.h1, h2 = f.h2;
  double u1 = f.hy[0], u2 = f.hy[1], u3 = f.hy[2], u4 = f.hy[3], u5 = f.hy[4], u6 = f.hy[5], u7 = f.hy[6], u8 = f.hy[7], u9 = f.hy[8], u10 = f.hy[9];
  double v1 = f.y[0], v2 = f.y[1], v3 = f.y[2], v4 = f.y[3], v5 = f.y[4], v6 = f.y[5], v7 = f.y[6], v8 = f.y[7], v9 = f.y[8], v10 = f.y[9];
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

void filter_block(const double* in, double* out, int count) {
  loudness_filter f;
  filter_run(f, in, out, count);
}
