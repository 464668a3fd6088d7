#include <cmath>
#include <cstdio>

#include "reports.h"

namespace {

std::string number(double v, int digits = 3) {
  if (!std::isfinite(v)) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

std::string p_value(double p) {
  if (p < 0.0001) return "<0.0001";
  return number(p, 4);
}

std::string padded(const std::string& s, std::size_t width) {
  return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' ');
}

void pairs(std::string& t, const std::string& title, const analysis_part& part,
           const std::vector<pair_comparison>& list) {
  t += "  " + title + "\n";
  for (const pair_comparison& c : list)
    t += "    " + padded(part.codecs[c.a].codec + " - " + part.codecs[c.b].codec, 40) +
         padded(number(c.difference), 10) + "p " + p_value(c.p) + "\n";
}

void part_text(std::string& t, const analysis_part& part, const std::string& quantity) {
  t += "\n" + (part.song.empty() ? std::string("All songs") : "Song " + part.song) + " (" + quantity + ")\n";
  t += "  " + padded("codec", 24) + padded("n", 6) + padded("mean", 9) + padded("95% CI (t)", 20) +
       padded("median", 9) + padded("IQR", 18) + "bootstrap 95% CI\n";
  for (std::size_t j = 0; j < part.codecs.size(); ++j) {
    const codec_summary& c = part.codecs[j];
    const std::string ci = c.mean.has_interval ? number(c.mean.low) + " " + number(c.mean.high) : "-";
    const std::string boot =
        part.boot.computable ? number(part.boot.low[j]) + " " + number(part.boot.high[j]) : "-";
    t += "  " + padded(c.codec, 24) + padded(std::to_string(c.mean.n), 6) + padded(number(c.mean.mean), 9) +
         padded(ci, 20) + padded(number(c.spread.median), 9) +
         padded(number(c.spread.q1) + " " + number(c.spread.q3), 18) + boot + "\n";
  }
  t += "  complete blocks: " + std::to_string(part.complete_blocks) +
       (part.song.empty() ? " (listener x song)" : " (listeners)") + "\n";
  if (part.anova.computable) {
    const block_anova& a = part.anova;
    t += "  Analysis of variance, codecs within blocks: F(" + number(a.df_codecs, 0) + ", " +
         number(a.df_error, 0) + ") = " + number(a.f) + ", p " + p_value(a.p) + "; Fisher's LSD " +
         number(a.lsd) + ", Tukey's HSD " + number(a.hsd) + " (5%)\n";
    pairs(t, "Fisher's LSD (t on the error mean square, unadjusted):", part, a.lsd_pairs);
    pairs(t, "Tukey's HSD (studentized range):", part, a.tukey_pairs);
  }
  if (part.friedman.computable) {
    const friedman_test& f = part.friedman;
    t += "  Friedman's test: chi2(" + std::to_string(part.codecs.size() - 1) + ") = " + number(f.chi2) +
         ", p " + p_value(f.p_chi2) + "; Conover's F = " + number(f.f) + ", p " + p_value(f.p_f) + "\n";
    pairs(t, "Conover's comparisons of rank sums (t, unadjusted):", part, f.pairs);
  }
  if (part.boot.computable && part.codecs.size() >= 2)
    pairs(t,
          "Bootstrap of the mean differences (" + std::to_string(part.boot.resamples) +
              " resamples of blocks, Holm-adjusted):",
          part, part.boot.pairs);
  for (const std::string& w : part.warnings) t += "  warning: " + w + "\n";
}

}  // namespace

std::string report_text(const analysis& a, const run_facts& facts) {
  const std::string quantity = a.scale == grade_scale::impairment
                                   ? "difference grade: condition minus hidden reference, 1-5 scale"
                                   : "MUSHRA grade, 0-100";
  std::string t = "abchr-analyse report for " + facts.test + "\n";
  t += "Result files: " + std::to_string(facts.result_files.size()) +
       "; listeners: " + std::to_string(a.listeners) + "; grades analysed: " + std::to_string(a.kept.size()) +
       "\n";
  t += "Bootstrap: " + std::to_string(facts.resamples) + " resamples, seed " + std::to_string(facts.seed) +
       "\n";
  t += "\nScreening: " + std::string(a.screening.empty() ? "none applied (no rule asked for)" : "") + "\n";
  for (const rule_outcome& o : a.screening) {
    t += "  rule " + o.rule + ": " +
         (o.removed.empty() ? "removes nobody" : "removes " + std::to_string(o.removed.size())) + "\n";
    for (const removal& r : o.removed) t += "    " + r.listener + ": " + r.reason + "\n";
    for (const std::string& w : o.warnings) t += "    warning: " + w + "\n";
  }
  part_text(t, a.overall, quantity);
  for (const analysis_part& p : a.songs) part_text(t, p, quantity);
  if (!a.abx.empty()) {
    t += "\nABX (one-sided binomial p-value of guessing)\n";
    for (const abx_summary& s : a.abx)
      t += "  " + padded(s.listener, 16) + padded(s.song + "/" + s.stimulus, 24) + padded(s.codec, 16) +
           std::to_string(s.correct) + "/" + std::to_string(s.trials) + " correct, p " + p_value(s.p) +
           (s.fixed_in_advance ? "" : " (trials not fixed in advance)") + "\n";
  }
  if (!a.warnings.empty()) {
    t += "\nWarnings\n";
    for (const std::string& w : a.warnings) t += "  " + w + "\n";
  }
  return t;
}
