// Reads cases as JSON on standard input and prints abchr-analyse's statistics
// of each as JSON, for check_statistics.py to compare with SciPy's.
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "literal_studentized_range.h"
#include "statistics.h"
#include "studentized_range.h"

using json = nlohmann::json;

namespace {

json pairs(const std::vector<pair_comparison>& list) {
  json out = json::array();
  for (const pair_comparison& c : list) out.push_back({c.a, c.b, c.difference, c.p});
  return out;
}

json one(const json& c) {
  const std::string kind = c["kind"];
  if (kind == "t_interval") {
    const mean_interval m = t_interval(c["values"].get<std::vector<double>>());
    return {{"mean", m.mean}, {"low", m.low}, {"high", m.high}};
  }
  if (kind == "t_test") {
    const one_sided_t t = t_test_below_zero(c["values"].get<std::vector<double>>());
    return {{"t", t.t}, {"p", t.p}};
  }
  if (kind == "quartiles") {
    const quartiles q = quartiles_of(c["values"].get<std::vector<double>>());
    return {{"q1", q.q1}, {"median", q.median}, {"q3", q.q3}};
  }
  const block_table table = c.value("table", block_table{});
  if (kind == "anova") {
    const block_anova a = anova_blocked(table);
    return {{"f", a.f},
            {"p", a.p},
            {"lsd", a.lsd},
            {"hsd", a.hsd},
            {"lsd_pairs", pairs(a.lsd_pairs)},
            {"tukey_pairs", pairs(a.tukey_pairs)}};
  }
  if (kind == "friedman") {
    const friedman_test f = friedman(table);
    return {{"chi2", f.chi2},           {"p", f.p_chi2},          {"f", f.f}, {"p_f", f.p_f},
            {"rank_sums", f.rank_sums}, {"pairs", pairs(f.pairs)}};
  }
  if (kind == "bootstrap") {
    const bootstrap_means b = bootstrap(table, c["resamples"], c["seed"]);
    return {{"low", b.low}, {"high", b.high}, {"pairs", pairs(b.pairs)}};
  }
  if (kind == "ptukey") return {{"sf", studentized_range_sf(c["q"], c["k"], c["df"])}};
  if (kind == "ptukey_literal") return {{"sf", literal_rule::studentized_range_sf(c["q"], c["k"], c["df"])}};
  if (kind == "qtukey") return {{"q", studentized_range_quantile(c["p"], c["k"], c["df"])}};
  if (kind == "binomial") return {{"p", binomial_tail(c["n"], c["k"])}};
  if (kind == "holm") {
    std::vector<double> p = c["p"];
    holm_adjust(p);
    return {{"p", p}};
  }
  return nullptr;
}

}  // namespace

int main() {
  const std::string text{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
  const json cases = json::parse(text);
  json out = json::array();
  for (const json& c : cases) out.push_back(one(c));
  std::cout << out.dump() << "\n";
  return 0;
}
