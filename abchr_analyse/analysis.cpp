#include "analysis.h"

#include <algorithm>
#include <map>
#include <set>

namespace {

std::string where(const source_place& p) { return p.file + ":" + std::to_string(p.line); }

// Codecs by name, the anchors last: the same order in every table and plot.
bool codec_before(const std::string& a, const std::string& b) {
  const bool anchor_a = a.rfind("anchor-", 0) == 0, anchor_b = b.rfind("anchor-", 0) == 0;
  if (anchor_a != anchor_b) return anchor_b;
  return a < b;
}

analysis_part part_of(const std::string& song, const std::vector<rating>& ratings,
                      const analysis_options& options, uint64_t seed) {
  analysis_part part;
  part.song = song;
  std::vector<std::string> codecs;
  for (const rating& r : ratings)
    if (std::find(codecs.begin(), codecs.end(), r.codec) == codecs.end()) codecs.push_back(r.codec);
  std::sort(codecs.begin(), codecs.end(), codec_before);
  std::map<std::pair<std::string, std::string>, std::vector<std::optional<double>>> blocks;
  for (const std::string& c : codecs) part.codecs.push_back({c, {}, {}, {}});
  for (const rating& r : ratings) {
    const auto j =
        static_cast<std::size_t>(std::find(codecs.begin(), codecs.end(), r.codec) - codecs.begin());
    part.codecs[j].values.push_back(analysed_value(r));
    auto& block = blocks[{r.listener, r.song}];
    block.resize(codecs.size());
    block[j] = analysed_value(r);
  }
  for (codec_summary& c : part.codecs) {
    c.mean = t_interval(c.values);
    c.spread = quartiles_of(c.values);
    if (!c.mean.has_interval)
      part.warnings.push_back(c.codec + ": fewer than two grades, no confidence interval");
  }
  block_table table;
  for (const auto& [id, values] : blocks) {
    if (std::all_of(values.begin(), values.end(),
                    [](const std::optional<double>& v) { return v.has_value(); })) {
      std::vector<double> row;
      for (const auto& v : values) row.push_back(*v);
      table.push_back(row);
    } else {
      ++part.incomplete_blocks;
    }
  }
  part.complete_blocks = static_cast<int>(table.size());
  if (part.incomplete_blocks > 0)
    part.warnings.push_back(
        std::to_string(part.incomplete_blocks) +
        " blocks lack a codec and are left out of the analysis of variance, Friedman's test and "
        "the bootstrap");
  part.anova = anova_blocked(table);
  part.friedman = friedman(table);
  part.boot = bootstrap(table, options.resamples, seed);
  if (codecs.size() < 2)
    part.warnings.push_back("one codec only: no comparison of codecs");
  else if (table.size() < 2)
    part.warnings.push_back("fewer than two complete blocks: no comparison of codecs");
  else if (!part.anova.computable)
    part.warnings.push_back("no error variance: no analysis of variance");
  return part;
}

}  // namespace

double analysed_value(const rating& r) {
  return r.scale == grade_scale::impairment ? r.difference() : r.grade;
}

bool resolve_duplicates(rating_set& set, duplicate_policy policy, input_problem& problem) {
  std::map<std::tuple<std::string, std::string, std::string, grade_scale>, std::size_t> seen;
  std::vector<bool> drop(set.ratings.size(), false);
  for (std::size_t i = 0; i < set.ratings.size(); ++i) {
    const rating& r = set.ratings[i];
    const auto [at, fresh] = seen.insert({{r.listener, r.song, r.stimulus, r.scale}, i});
    if (fresh) continue;
    if (policy == duplicate_policy::refuse) {
      problem = input_problem(r.place.file, r.place.line,
                              "the listener '" + r.listener + "' graded " + r.song + "/" + r.stimulus +
                                  " before, at " + where(set.ratings[at->second].place) +
                                  "; remove one, or choose with --duplicates first or --duplicates last");
      return false;
    }
    if (policy == duplicate_policy::first) {
      drop[i] = true;
    } else {
      drop[at->second] = true;
      at->second = i;
    }
  }
  std::vector<rating> kept;
  int dropped = 0;
  for (std::size_t i = 0; i < set.ratings.size(); ++i) {
    if (drop[i])
      ++dropped;
    else
      kept.push_back(std::move(set.ratings[i]));
  }
  if (dropped > 0)
    set.warnings.push_back(std::to_string(dropped) + " repeated grades left out (--duplicates " +
                           (policy == duplicate_policy::first ? "first" : "last") + ")");
  set.ratings = std::move(kept);
  return true;
}

bool check_one_scale(const rating_set& set, input_problem& problem) {
  for (const rating& r : set.ratings) {
    if (r.scale != set.ratings.front().scale) {
      problem =
          input_problem(r.place.file, r.place.line,
                        std::string("a grade on the ") + (r.scale == grade_scale::mushra ? "0-100" : "1-5") +
                            " scale where " + where(set.ratings.front().place) + " is on the " +
                            (r.scale == grade_scale::mushra ? "1-5" : "0-100") +
                            " scale; analyse ABC/HR and MUSHRA results in separate runs");
      return false;
    }
  }
  return true;
}

analysis analyse(const rating_set& set, const analysis_options& options) {
  analysis a;
  a.warnings = set.warnings;
  if (!set.ratings.empty()) a.scale = set.ratings.front().scale;
  std::set<std::string> listeners, removed;
  for (const rating& r : set.ratings) listeners.insert(r.listener);
  a.listeners = static_cast<int>(listeners.size());
  for (const screening_rule& rule : options.rules) {
    a.screening.push_back(apply_screening_rule(rule, set.ratings));
    for (const removal& r : a.screening.back().removed) removed.insert(r.listener);
  }
  a.removed.assign(removed.begin(), removed.end());
  for (const rating& r : set.ratings)
    if (!removed.count(r.listener)) a.kept.push_back(r);
  if (a.kept.empty()) a.warnings.push_back("no grades left to analyse");
  a.overall = part_of("", a.kept, options, options.seed);
  std::vector<std::string> songs;
  for (const rating& r : a.kept)
    if (std::find(songs.begin(), songs.end(), r.song) == songs.end()) songs.push_back(r.song);
  std::sort(songs.begin(), songs.end());
  for (std::size_t s = 0; s < songs.size(); ++s) {
    std::vector<rating> own;
    for (const rating& r : a.kept)
      if (r.song == songs[s]) own.push_back(r);
    // Each song's bootstrap draws from its own stream of the seed.
    a.songs.push_back(part_of(songs[s], own, options, options.seed + 0x9E3779B97F4A7C15ull * (s + 1)));
  }
  std::map<std::tuple<std::string, std::string, std::string>, abx_summary> runs;
  for (const abx_trial& t : set.abx) {
    if (removed.count(t.listener)) continue;
    abx_summary& s = runs[{t.listener, t.song, t.stimulus}];
    if (s.trials == 0) s.fixed_in_advance = t.planned.has_value();
    s.listener = t.listener;
    s.song = t.song;
    s.stimulus = t.stimulus;
    s.codec = t.codec;
    ++s.trials;
    s.correct += t.correct;
    if (!t.planned || (s.trials > 1 && s.planned != *t.planned)) s.fixed_in_advance = false;
    if (t.planned) s.planned = *t.planned;
  }
  for (auto& [id, s] : runs) {
    s.p = binomial_tail(s.trials, s.correct);
    if (s.fixed_in_advance && s.planned != s.trials) s.fixed_in_advance = false;
    if (!s.fixed_in_advance)
      a.warnings.push_back(
          "ABX " + s.listener + " " + s.song + "/" + s.stimulus + ": " + std::to_string(s.trials) +
          " trials, not a number fixed in advance; a run stopped when it looked good makes its "
          "p-value too small");
    a.abx.push_back(s);
  }
  return a;
}
