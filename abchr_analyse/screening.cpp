#include "screening.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "statistics.h"

namespace {

std::string percent_text(double share) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100 * share);
  return text;
}

std::map<std::string, std::vector<const rating*>> by_listener(const std::vector<rating>& ratings) {
  std::map<std::string, std::vector<const rating*>> out;
  for (const rating& r : ratings) out[r.listener].push_back(&r);
  return out;
}

void reference_low(const screening_rule& rule, const std::vector<rating>& ratings, rule_outcome& outcome) {
  for (const auto& [listener, own] : by_listener(ratings)) {
    int low = 0;
    for (const rating* r : own) low += r->reference_low();
    const double share = static_cast<double>(low) / static_cast<double>(own.size());
    // Compared in whole counts: "more than P%" of n trials.
    if (100.0 * low > rule.percent * static_cast<double>(own.size()))
      outcome.removed.push_back({listener, "graded the hidden reference below the condition in " +
                                               std::to_string(low) + " of " + std::to_string(own.size()) +
                                               " trials (" + percent_text(share) + ")"});
  }
}

void t_test(const std::vector<rating>& ratings, rule_outcome& outcome) {
  for (const auto& [listener, own] : by_listener(ratings)) {
    std::vector<double> d;
    for (const rating* r : own) d.push_back(r->difference());
    const one_sided_t t = t_test_below_zero(d);
    if (!t.computable) {
      const mean_interval m = t_interval(d);
      if (m.n >= 2 && m.mean < 0) continue;  // every difference the same and below zero
      if (m.n < 2) {
        outcome.warnings.push_back(listener + ": one trial only; the t-test cannot judge, kept");
        continue;
      }
      outcome.removed.push_back(
          {listener, "every difference grade is " + std::to_string(m.mean) + ", not below zero"});
      continue;
    }
    if (!(t.p < 0.05)) {
      char text[96];
      std::snprintf(text, sizeof text,
                    "mean difference grade not significantly below zero (t = %.3f, p = %.4f)", t.t, t.p);
      outcome.removed.push_back({listener, text});
    }
  }
}

void bs1534(const std::vector<rating>& all, rule_outcome& outcome) {
  std::vector<rating> ratings;
  for (const rating& r : all)
    if (r.scale == grade_scale::mushra) ratings.push_back(r);
  if (ratings.empty()) {
    outcome.warnings.push_back("no MUSHRA grades: the rule judges MUSHRA pages only");
    return;
  }
  // Items are songs: one MUSHRA page each.
  std::map<std::string, std::map<std::string, double>> reference, anchor;  // listener -> song -> grade
  for (const rating& r : ratings) {
    reference[r.listener][r.song] = r.reference_grade;
    if (r.codec == MID_ANCHOR) anchor[r.listener][r.song] = r.grade;
  }
  if (anchor.empty())
    outcome.warnings.push_back(std::string("no mid anchor (") + MID_ANCHOR +
                               ") in the results: its half of the rule was not applied; make the folder with "
                               "abchr-prepare --page mushra");
  // An item where more than 25% of listeners graded the mid anchor above 90
  // is not held against anyone.
  std::map<std::string, std::pair<int, int>> anchor_high;  // song -> (above 90, listeners)
  for (const auto& [listener, songs] : anchor)
    for (const auto& [song, grade] : songs) {
      anchor_high[song].first += grade > 90;
      anchor_high[song].second += 1;
    }
  for (const auto& [listener, songs] : reference) {
    int low = 0;
    for (const auto& [song, grade] : songs) low += grade < 90;
    const auto items = static_cast<double>(songs.size());
    if (100.0 * low > 15 * items) {
      outcome.removed.push_back({listener, "graded the hidden reference below 90 on " + std::to_string(low) +
                                               " of " + std::to_string(songs.size()) + " items (" +
                                               percent_text(low / items) + ")"});
      continue;
    }
    const auto own = anchor.find(listener);
    if (own == anchor.end()) continue;
    int high = 0;
    for (const auto& [song, grade] : own->second) {
      const auto [above, listeners] = anchor_high[song];
      if (grade > 90 && 100.0 * above <= 25.0 * listeners) ++high;
    }
    const auto anchored = static_cast<double>(own->second.size());
    if (100.0 * high > 15 * anchored)
      outcome.removed.push_back({listener, "graded the mid anchor above 90 on " + std::to_string(high) +
                                               " of " + std::to_string(own->second.size()) + " items (" +
                                               percent_text(high / anchored) + ")"});
  }
}

}  // namespace

bool parse_screening_rule(const std::string& text, screening_rule& rule) {
  rule.name = text;
  if (text == "t-test") {
    rule.type = screening_rule::kind::t_test;
    return true;
  }
  if (text == "bs1534") {
    rule.type = screening_rule::kind::bs1534;
    return true;
  }
  if (text.rfind("ref-low:", 0) == 0) {
    const std::string number = text.substr(8);
    char* end = nullptr;
    const double p = std::strtod(number.c_str(), &end);
    if (number.empty() || *end != '\0' || !(p >= 0 && p < 100)) return false;
    rule.type = screening_rule::kind::reference_low;
    rule.percent = p;
    return true;
  }
  return false;
}

rule_outcome apply_screening_rule(const screening_rule& rule, const std::vector<rating>& ratings) {
  rule_outcome outcome;
  outcome.rule = rule.name;
  switch (rule.type) {
    case screening_rule::kind::reference_low:
      reference_low(rule, ratings, outcome);
      break;
    case screening_rule::kind::t_test:
      t_test(ratings, outcome);
      break;
    case screening_rule::kind::bs1534:
      bs1534(ratings, outcome);
      break;
  }
  return outcome;
}
