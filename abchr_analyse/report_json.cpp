#include <cmath>
#include <nlohmann/json.hpp>

#include "reports.h"

using json = nlohmann::ordered_json;

namespace {

// A statistic that could not be computed is null, never a number.
json maybe(bool computable, double v) { return computable && std::isfinite(v) ? json(v) : json(nullptr); }

json pairs_json(const analysis_part& part, const std::vector<pair_comparison>& list) {
  json out = json::array();
  for (const pair_comparison& c : list)
    out.push_back({{"a", part.codecs[c.a].codec},
                   {"b", part.codecs[c.b].codec},
                   {"difference", c.difference},
                   {"p", c.p}});
  return out;
}

json part_json(const analysis_part& part) {
  json codecs = json::array();
  for (std::size_t j = 0; j < part.codecs.size(); ++j) {
    const codec_summary& c = part.codecs[j];
    codecs.push_back(
        {{"codec", c.codec},
         {"n", c.mean.n},
         {"mean", maybe(c.mean.n > 0, c.mean.mean)},
         {"sd", maybe(c.mean.has_interval, c.mean.sd)},
         {"ci95_t", c.mean.has_interval ? json::array({c.mean.low, c.mean.high}) : json(nullptr)},
         {"median", maybe(c.mean.n > 0, c.spread.median)},
         {"q1", maybe(c.mean.n > 0, c.spread.q1)},
         {"q3", maybe(c.mean.n > 0, c.spread.q3)},
         {"ci95_bootstrap",
          part.boot.computable ? json::array({part.boot.low[j], part.boot.high[j]}) : json(nullptr)}});
  }
  const block_anova& a = part.anova;
  const friedman_test& f = part.friedman;
  json j = {{"song", part.song.empty() ? json(nullptr) : json(part.song)},
            {"blocks", part.song.empty() ? "listener x song" : "listener"},
            {"complete_blocks", part.complete_blocks},
            {"incomplete_blocks", part.incomplete_blocks},
            {"codecs", codecs}};
  j["anova"] =
      a.computable
          ? json{{"method", "two-way analysis of variance without replication, codecs within blocks"},
                 {"ss_codecs", a.ss_codecs},
                 {"ss_blocks", a.ss_blocks},
                 {"ss_error", a.ss_error},
                 {"df_codecs", a.df_codecs},
                 {"df_blocks", a.df_blocks},
                 {"df_error", a.df_error},
                 {"f", a.f},
                 {"p", a.p},
                 {"lsd_5", a.lsd},
                 {"hsd_5", a.hsd},
                 {"fisher_lsd", pairs_json(part, a.lsd_pairs)},
                 {"tukey_hsd", pairs_json(part, a.tukey_pairs)}}
          : json(nullptr);
  j["friedman"] =
      f.computable
          ? json{{"method", "Friedman's test with mid-ranks and tie correction; Conover's comparisons"},
                 {"chi2", f.chi2},
                 {"p", f.p_chi2},
                 {"conover_f", maybe(true, f.f)},
                 {"conover_p", f.p_f},
                 {"rank_sums", f.rank_sums},
                 {"conover", pairs_json(part, f.pairs)}}
          : json(nullptr);
  j["bootstrap"] = part.boot.computable
                       ? json{{"method",
                               "percentile bootstrap of the means, blocks drawn with replacement; pairwise "
                               "p-values twice the smaller tail, Holm-adjusted"},
                              {"resamples", part.boot.resamples},
                              {"seed", part.boot.seed},
                              {"pairs", pairs_json(part, part.boot.pairs)}}
                       : json(nullptr);
  j["warnings"] = part.warnings;
  return j;
}

}  // namespace

std::string report_json(const analysis& a, const run_facts& facts) {
  json j;
  j["program"] = PROGRAM_VERSION;
  j["test"] = facts.test;
  j["result_files"] = facts.result_files;
  j["scale"] = a.scale == grade_scale::impairment ? "1-5" : "0-100";
  j["quantity"] = a.scale == grade_scale::impairment ? "difference grade (condition minus hidden reference)"
                                                     : "MUSHRA grade";
  j["listeners"] = a.listeners;
  j["grades_analysed"] = a.kept.size();
  json rules = json::array();
  for (const rule_outcome& o : a.screening) {
    json removed = json::array();
    for (const removal& r : o.removed) removed.push_back({{"listener", r.listener}, {"reason", r.reason}});
    rules.push_back({{"rule", o.rule}, {"removed", removed}, {"warnings", o.warnings}});
  }
  j["screening"] = rules;
  j["removed"] = a.removed;
  j["overall"] = part_json(a.overall);
  json songs = json::array();
  for (const analysis_part& p : a.songs) songs.push_back(part_json(p));
  j["songs"] = songs;
  json abx = json::array();
  for (const abx_summary& s : a.abx)
    abx.push_back({{"listener", s.listener},
                   {"song", s.song},
                   {"stimulus", s.stimulus},
                   {"codec", s.codec},
                   {"trials", s.trials},
                   {"correct", s.correct},
                   {"p_one_sided", s.p},
                   {"fixed_in_advance", s.fixed_in_advance}});
  j["abx"] = abx;
  j["warnings"] = a.warnings;
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
