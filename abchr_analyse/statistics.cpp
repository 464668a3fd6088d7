#include "statistics.h"

#include <algorithm>
#include <boost/math/distributions/binomial.hpp>
#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/fisher_f.hpp>
#include <boost/math/distributions/students_t.hpp>
#include <cmath>
#include <cstdint>
#include <numeric>

#include "studentized_range.h"

namespace {

// 64 by 64 bits to 128: an index drawn without the bias of a remainder.
__extension__ typedef unsigned __int128 wide_product;

// The bootstrap's generator: xoshiro256** (Blackman and Vigna), its state
// filled from the seed by splitmix64. A few operations a draw, against the
// Mersenne twister's refills, and the same numbers on every platform.
struct xoshiro256 {
  uint64_t s[4];
  explicit xoshiro256(uint64_t seed) {
    for (uint64_t& word : s) {
      uint64_t z = (seed += 0x9e3779b97f4a7c15ull);
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
      word = z ^ (z >> 31);
    }
  }
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t operator()() {
    const uint64_t result = rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
  }
};

// quantile_sorted of the values as if sorted, with only the two order
// statistics that it reads put in place.
double quantile_of(std::vector<double>& values, double p) {
  const double h = (static_cast<double>(values.size()) - 1) * p;
  const std::size_t lo = static_cast<std::size_t>(std::floor(h));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(lo), values.end());
  const double below = values[lo];
  const double above =
      lo + 1 < values.size()
          ? *std::min_element(values.begin() + static_cast<std::ptrdiff_t>(lo) + 1, values.end())
          : below;
  return below + (h - static_cast<double>(lo)) * (above - below);
}

double mean_of(const std::vector<double>& v) {
  double sum = 0;
  for (const double x : v) sum += x;
  return sum / static_cast<double>(v.size());
}

double t_two_sided(double t, double df) {
  return 2 * boost::math::cdf(boost::math::complement(boost::math::students_t(df), std::fabs(t)));
}

std::vector<double> column_means(const block_table& table) {
  std::vector<double> means(table[0].size(), 0);
  for (const auto& row : table)
    for (std::size_t j = 0; j < row.size(); ++j) means[j] += row[j];
  for (double& m : means) m /= static_cast<double>(table.size());
  return means;
}

// Mid-ranks of one block's values, 1 for the lowest.
std::vector<double> ranks_of(const std::vector<double>& row) {
  std::vector<std::size_t> order(row.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return row[a] < row[b]; });
  std::vector<double> ranks(row.size());
  for (std::size_t i = 0; i < order.size();) {
    std::size_t j = i;
    while (j + 1 < order.size() && row[order[j + 1]] == row[order[i]]) ++j;
    const double mid = (static_cast<double>(i + j) + 2) / 2;
    for (std::size_t m = i; m <= j; ++m) ranks[order[m]] = mid;
    i = j + 1;
  }
  return ranks;
}

}  // namespace

mean_interval t_interval(const std::vector<double>& values) {
  mean_interval m;
  m.n = static_cast<int>(values.size());
  if (m.n == 0) return m;
  m.mean = mean_of(values);
  if (m.n < 2) return m;
  double ss = 0;
  for (const double x : values) ss += (x - m.mean) * (x - m.mean);
  m.sd = std::sqrt(ss / (m.n - 1));
  const double t = boost::math::quantile(boost::math::students_t(m.n - 1), 0.975);
  const double half = t * m.sd / std::sqrt(static_cast<double>(m.n));
  m.has_interval = true;
  m.low = m.mean - half;
  m.high = m.mean + half;
  return m;
}

double quantile_sorted(const std::vector<double>& sorted, double p) {
  const double h = (static_cast<double>(sorted.size()) - 1) * p;
  const std::size_t lo = static_cast<std::size_t>(std::floor(h));
  const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
  return sorted[lo] + (h - static_cast<double>(lo)) * (sorted[hi] - sorted[lo]);
}

quartiles quartiles_of(std::vector<double> values) {
  quartiles q;
  if (values.empty()) return q;
  std::sort(values.begin(), values.end());
  q.q1 = quantile_sorted(values, 0.25);
  q.median = quantile_sorted(values, 0.5);
  q.q3 = quantile_sorted(values, 0.75);
  return q;
}

one_sided_t t_test_below_zero(const std::vector<double>& values) {
  one_sided_t r;
  const mean_interval m = t_interval(values);
  if (m.n < 2 || m.sd == 0) return r;
  r.computable = true;
  r.t = m.mean / (m.sd / std::sqrt(static_cast<double>(m.n)));
  r.p = boost::math::cdf(boost::math::students_t(m.n - 1), r.t);
  return r;
}

block_anova anova_blocked(const block_table& table) {
  block_anova a;
  a.blocks = static_cast<int>(table.size());
  a.codecs = table.empty() ? 0 : static_cast<int>(table[0].size());
  if (a.blocks < 2 || a.codecs < 2) return a;
  const int b = a.blocks, k = a.codecs;
  const std::vector<double> means = column_means(table);
  double grand = 0;
  for (const double m : means) grand += m;
  grand /= k;
  for (const double m : means) a.ss_codecs += b * (m - grand) * (m - grand);
  for (const auto& row : table) {
    const double m = mean_of(row);
    a.ss_blocks += k * (m - grand) * (m - grand);
    for (int j = 0; j < k; ++j) {
      const double e = row[j] - m - means[j] + grand;
      a.ss_error += e * e;
    }
  }
  a.df_codecs = k - 1;
  a.df_blocks = b - 1;
  a.df_error = static_cast<double>(k - 1) * (b - 1);
  const double mse = a.ss_error / a.df_error;
  if (!(mse > 0)) return a;
  a.computable = true;
  a.f = (a.ss_codecs / a.df_codecs) / mse;
  a.p = boost::math::cdf(boost::math::complement(boost::math::fisher_f(a.df_codecs, a.df_error), a.f));
  const double se_pair = std::sqrt(2 * mse / b);
  a.lsd = boost::math::quantile(boost::math::students_t(a.df_error), 0.975) * se_pair;
  a.hsd = studentized_range_quantile(0.95, k, a.df_error) * std::sqrt(mse / b);
  for (int i = 0; i < k; ++i) {
    for (int j = i + 1; j < k; ++j) {
      const double d = means[i] - means[j];
      a.lsd_pairs.push_back({i, j, d, t_two_sided(d / se_pair, a.df_error)});
      a.tukey_pairs.push_back(
          {i, j, d, studentized_range_sf(std::fabs(d) / std::sqrt(mse / b), k, a.df_error)});
    }
  }
  return a;
}

friedman_test friedman(const block_table& table) {
  friedman_test f;
  const int b = static_cast<int>(table.size());
  const int k = table.empty() ? 0 : static_cast<int>(table[0].size());
  if (b < 2 || k < 2) return f;
  f.rank_sums.assign(k, 0);
  double a1 = 0;  // the sum of every squared rank
  for (const auto& row : table) {
    const std::vector<double> r = ranks_of(row);
    for (int j = 0; j < k; ++j) {
      f.rank_sums[j] += r[j];
      a1 += r[j] * r[j];
    }
  }
  const double c1 = b * k * (k + 1.0) * (k + 1.0) / 4;
  double sum_r2 = 0;
  for (const double r : f.rank_sums) sum_r2 += r * r;
  if (!(a1 - c1 > 0)) return f;  // every block tied throughout
  f.computable = true;
  f.chi2 = (k - 1) * (sum_r2 - b * c1) / (a1 - c1);
  f.p_chi2 = boost::math::cdf(boost::math::complement(boost::math::chi_squared(k - 1), f.chi2));
  const double df_error = static_cast<double>(b - 1) * (k - 1);
  const double denominator = b * (k - 1.0) - f.chi2;
  if (denominator > 0) {
    f.f = (b - 1) * f.chi2 / denominator;
    f.p_f = boost::math::cdf(boost::math::complement(boost::math::fisher_f(k - 1.0, df_error), f.f));
  } else {
    f.f = INFINITY;
    f.p_f = 0;
  }
  const double spread = 2 * (b * a1 - sum_r2) / df_error;
  for (int i = 0; i < k; ++i) {
    for (int j = i + 1; j < k; ++j) {
      const double d = f.rank_sums[i] - f.rank_sums[j];
      f.pairs.push_back(
          {i, j, d, spread > 0 ? t_two_sided(d / std::sqrt(spread), df_error) : (d == 0 ? 1.0 : 0.0)});
    }
  }
  return f;
}

void holm_adjust(std::vector<double>& p) {
  std::vector<std::size_t> order(p.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return p[a] < p[b]; });
  double running = 0;
  const double m = static_cast<double>(p.size());
  for (std::size_t r = 0; r < order.size(); ++r) {
    running = std::max(running, std::min(1.0, (m - static_cast<double>(r)) * p[order[r]]));
    p[order[r]] = running;
  }
}

bootstrap_means bootstrap(const block_table& table, int resamples, uint64_t seed) {
  bootstrap_means result;
  result.resamples = resamples;
  result.seed = seed;
  const std::size_t b = table.size();
  const std::size_t k = b == 0 ? 0 : table[0].size();
  if (b < 2 || k < 1 || resamples < 2) return result;
  result.computable = true;
  // The engine and the way an index is drawn from it are fixed, so a seed
  // gives the same intervals on every platform.
  xoshiro256 engine(seed);
  std::vector<double> flat;
  flat.reserve(b * k);
  for (const auto& row : table) flat.insert(flat.end(), row.begin(), row.end());
  std::vector<std::vector<double>> means(k, std::vector<double>(resamples));
  std::vector<double> sums(k);
  for (int r = 0; r < resamples; ++r) {
    std::fill(sums.begin(), sums.end(), 0.0);
    for (std::size_t i = 0; i < b; ++i) {
      const auto pick = static_cast<std::size_t>((static_cast<wide_product>(engine()) * b) >> 64);
      const double* row = &flat[pick * k];
      for (std::size_t j = 0; j < k; ++j) sums[j] += row[j];
    }
    for (std::size_t j = 0; j < k; ++j) means[j][r] = sums[j] / static_cast<double>(b);
  }
  std::vector<double> p;
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = i + 1; j < k; ++j) {
      int at_or_below = 0, at_or_above = 0;
      for (int r = 0; r < resamples; ++r) {
        const double d = means[i][r] - means[j][r];
        at_or_below += d <= 0;
        at_or_above += d >= 0;
      }
      const double tail = std::min(at_or_below, at_or_above) / static_cast<double>(resamples);
      double diff = 0;
      for (const auto& row : table) diff += row[i] - row[j];
      result.pairs.push_back({static_cast<int>(i), static_cast<int>(j), diff / static_cast<double>(b), 0});
      p.push_back(std::min(1.0, 2 * tail));
    }
  }
  holm_adjust(p);
  for (std::size_t i = 0; i < p.size(); ++i) result.pairs[i].p = p[i];
  for (std::size_t j = 0; j < k; ++j) {
    result.low.push_back(quantile_of(means[j], 0.025));
    result.high.push_back(quantile_of(means[j], 0.975));
  }
  return result;
}

double binomial_tail(int trials, int correct) {
  if (correct <= 0) return 1;
  if (correct > trials) return 0;
  return boost::math::cdf(boost::math::complement(boost::math::binomial(trials, 0.5), correct - 1));
}
