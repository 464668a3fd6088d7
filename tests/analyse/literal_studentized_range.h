// The studentized range's upper tail as abchr-analyse first computed it:
// 20-point Gauss-Legendre rules on pieces about one spread wide (16 over the
// normal variable, 24 over the scale) and Boost's erfc in long double. Slow
// and exact to rounding: the oracle of the rule that the program ships.
#pragma once

#include <algorithm>
#include <boost/math/quadrature/gauss.hpp>
#include <boost/math/special_functions/erf.hpp>
#include <boost/math/special_functions/gamma.hpp>
#include <cmath>
#include <vector>

namespace literal_rule {

constexpr double SQRT_HALF = 0.70710678118654752440;
constexpr double PI = 3.14159265358979323846;
// Beyond 10 standard deviations the normal density is below 1e-22.
constexpr double NORMAL_EDGE = 10;
// Both integrals are composite 20-point Gauss-Legendre rules on pieces about
// one spread wide, where the integrands are smooth: exact to rounding.
constexpr int POINTS = 20;
constexpr int NORMAL_PIECES = 16;
constexpr int SCALE_PIECES = 24;
// The scale's density is nothing beyond 12 spreads from its mode.
constexpr double SCALE_REACH = 12;

using rule = boost::math::quadrature::gauss<double, POINTS>;

inline double normal_cdf(double z) { return 0.5 * boost::math::erfc(-z * SQRT_HALF); }

// Nodes and weights of a composite rule on [a, b].
inline void composite(double a, double b, int pieces, std::vector<double>& x, std::vector<double>& w) {
  const auto& abscissa = rule::abscissa();
  const auto& weight = rule::weights();
  const double h = (b - a) / pieces;
  for (int p = 0; p < pieces; ++p) {
    const double mid = a + h * (p + 0.5);
    for (std::size_t i = 0; i < abscissa.size(); ++i) {
      for (const double sign : {-1.0, 1.0}) {
        x.push_back(mid + sign * 0.5 * h * abscissa[i]);
        w.push_back(0.5 * h * weight[i]);
      }
    }
  }
}

// P(range of k standard normals > w) = k * integral of phi(z) [Phi(z)^(k-1) -
// (Phi(z) - Phi(z-w))^(k-1)] dz, the difference of powers taken as one
// expression so that a small tail keeps its digits. The nodes in z and
// phi(z) Phi(z)^(k-1) there are the same for every w.
struct range_tail {
  int k = 2;
  std::vector<double> z, weight, upper, lead;
  explicit range_tail(int groups) : k(groups) {
    composite(-NORMAL_EDGE, NORMAL_EDGE, NORMAL_PIECES, z, weight);
    for (std::size_t i = 0; i < z.size(); ++i) {
      upper.push_back(normal_cdf(z[i]));
      lead.push_back(weight[i] * std::exp(-0.5 * z[i] * z[i]) / std::sqrt(2 * PI) *
                     std::pow(upper.back(), k - 1));
    }
  }
  double operator()(double w) const {
    if (w <= 0) return 1;
    double sum = 0;
    for (std::size_t i = 0; i < z.size(); ++i) {
      if (lead[i] == 0) continue;
      const double lower = normal_cdf(z[i] - w);
      sum += lead[i] * -std::expm1((k - 1) * std::log1p(-lower / upper[i]));
    }
    return std::min(1.0, k * sum);
  }
};

inline double studentized_range_sf(double q, int k, double df) {
  if (!(q > 0)) return 1;
  const range_tail tail(k);
  if (std::isinf(df)) return tail(q);
  // s = sqrt(chi2(df) / df) has its mode at sqrt((df - 1) / df) and a spread
  // near 1 / sqrt(2 df).
  const double spread = 1 / std::sqrt(2 * df);
  const double mode = df > 1 ? std::sqrt((df - 1) / df) : 0;
  const double low = std::max(0.0, mode - SCALE_REACH * spread);
  const double high = mode + SCALE_REACH * spread + (df < 4 ? 4 : 0);
  std::vector<double> s, w;
  composite(low, high, SCALE_PIECES, s, w);
  const double log_norm = std::log(2.0) + 0.5 * df * std::log(0.5 * df) - boost::math::lgamma(0.5 * df);
  double total = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double log_density = log_norm + (df - 1) * std::log(s[i]) - 0.5 * df * s[i] * s[i];
    total += w[i] * std::exp(log_density) * tail(q * s[i]);
  }
  return std::min(1.0, std::max(0.0, total));
}

}  // namespace literal_rule
