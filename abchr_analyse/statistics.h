// The statistics of a listening test, on plain numbers: one value per
// listener (a mean's interval), or a table of blocks by codecs (one row per
// listener, or per listener and song; one column per codec), every block
// complete. Each result says whether it could be computed; a statistic that
// cannot be (too few listeners, one codec) is not a number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Rows are blocks, columns codecs.
using block_table = std::vector<std::vector<double>>;

struct mean_interval {
  int n = 0;
  double mean = 0;
  double sd = 0;
  bool has_interval = false;  // n >= 2
  double low = 0, high = 0;   // 95% from Student's t with n - 1 degrees of freedom
};
mean_interval t_interval(const std::vector<double>& values);

struct quartiles {
  double q1 = 0, median = 0, q3 = 0;  // linear between order statistics, as R's type 7
};
quartiles quartiles_of(std::vector<double> values);
// The p-quantile of sorted values, linear between order statistics.
double quantile_sorted(const std::vector<double>& sorted, double p);

// One-sided one-sample t-test that the mean lies below zero.
struct one_sided_t {
  bool computable = false;  // at least two values, not all equal
  double t = 0;
  double p = 1;  // P(T <= t)
};
one_sided_t t_test_below_zero(const std::vector<double>& values);

struct pair_comparison {
  int a = 0, b = 0;       // codec columns, a < b
  double difference = 0;  // mean of a minus mean of b
  double p = 1;
};

// Two-way analysis of variance without replication (randomised complete
// blocks), with Fisher's LSD and Tukey's HSD on the error mean square.
struct block_anova {
  bool computable = false;  // two blocks and two codecs at least, some error variance
  int blocks = 0, codecs = 0;
  double ss_codecs = 0, ss_blocks = 0, ss_error = 0;
  double df_codecs = 0, df_blocks = 0, df_error = 0;
  double f = 0, p = 1;
  double lsd = 0;  // the least difference of two means significant at 5%
  double hsd = 0;  // Tukey's honestly significant difference at 5%
  std::vector<pair_comparison> lsd_pairs, tukey_pairs;
};
block_anova anova_blocked(const block_table& table);

// Friedman's test on ranks within blocks (mid-ranks for ties, with the tie
// correction), and Conover's pairwise comparisons of the rank sums.
struct friedman_test {
  bool computable = false;
  double chi2 = 0, p_chi2 = 1;  // against chi-squared with codecs - 1 degrees of freedom
  double f = 0, p_f = 1;        // Conover's T2 against F(k - 1, (b - 1)(k - 1))
  std::vector<double> rank_sums;
  std::vector<pair_comparison> pairs;  // difference of rank sums, two-sided t p-value
};
friedman_test friedman(const block_table& table);

// A percentile bootstrap of every codec's mean, drawing whole blocks with
// replacement so that codecs stay paired; pairwise p-values from the
// bootstrap distribution of each difference (twice the smaller tail),
// adjusted by Holm's step-down method.
struct bootstrap_means {
  bool computable = false;
  int resamples = 0;
  uint64_t seed = 0;
  std::vector<double> low, high;  // 95% percentile intervals
  std::vector<pair_comparison> pairs;
};
bootstrap_means bootstrap(const block_table& table, int resamples, uint64_t seed);

// P(X >= correct) for X binomial(trials, 1/2): the one-sided p-value of an
// ABX run.
double binomial_tail(int trials, int correct);

// Holm's step-down adjustment of p-values, in place.
void holm_adjust(std::vector<double>& p);
