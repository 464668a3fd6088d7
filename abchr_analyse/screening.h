// Post-screening of listeners by named rules. Each rule reports whom it would
// remove and why; nobody is removed unless a rule is asked for.
#pragma once

#include <string>
#include <vector>

#include "ratings.h"

struct screening_rule {
  enum class kind { reference_low, t_test, bs1534 } type = kind::t_test;
  double percent = 0;  // reference_low's P
  std::string name;    // as given on the command line
};

// "ref-low:P" (0 <= P < 100), "t-test" or "bs1534"; false when it is none.
bool parse_screening_rule(const std::string& text, screening_rule& rule);

struct removal {
  std::string listener;
  std::string reason;
};

struct rule_outcome {
  std::string rule;
  std::vector<removal> removed;
  std::vector<std::string> warnings;
};

// The MUSHRA anchors that abchr-prepare serves, as key.csv names their codec.
constexpr const char* LOW_ANCHOR = "anchor-3.5kHz";
constexpr const char* MID_ANCHOR = "anchor-7kHz";

rule_outcome apply_screening_rule(const screening_rule& rule, const std::vector<rating>& ratings);
