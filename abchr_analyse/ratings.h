// The records that every stage of abchr-analyse shares: one grade as the
// result files give it, unblinded through the test folder's key, and the
// statuses the program ends with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

enum analyse_status {
  ANALYSE_OK = 0,
  ANALYSE_USAGE = 1,          // the command line is wrong
  ANALYSE_INPUT_REFUSED = 2,  // a result file or the test folder is refused
  ANALYSE_OUTPUT_FAILED = 3,  // the results folder cannot be written
  ANALYSE_OUT_OF_MEMORY = 4,
};

// The two grade scales of the front ends: ITU-R BS.1116's continuous
// impairment scale (1.0 "very annoying" to 5.0 "imperceptible") and
// BS.1534's MUSHRA scale (0 "bad" to 100 "excellent").
enum class grade_scale { impairment, mushra };

// Where a grade was read, for messages and for ratings.csv.
struct source_place {
  std::string file;
  int64_t line = 0;
};

// One condition graded once by one listener against the hidden reference
// of the same trial.
struct rating {
  std::string listener;
  std::string song;
  std::string stimulus;  // the served (blind) name
  std::string codec;     // from key.csv: the codec, its bit rate, or the anchor's name
  grade_scale scale = grade_scale::impairment;
  double grade = 0;            // the condition's grade
  double reference_grade = 0;  // the hidden reference's grade in the same trial
  std::optional<bool> moved;   // the listener moved the condition's slider, where the front end says
  std::optional<double> seconds;
  source_place place;
  // The grade that BS.1116-style tests analyse: the condition's grade minus
  // the hidden reference's. Below zero: the listener heard a difference.
  double difference() const { return grade - reference_grade; }
  // The hidden reference graded below the condition: the wrong side picked.
  bool reference_low() const { return reference_grade < grade; }
};

// One ABX trial: X was A or B, the listener answered.
struct abx_trial {
  std::string listener;
  std::string song;
  std::string stimulus;
  std::string codec;
  bool correct = false;
  std::optional<int> planned;  // the number of trials fixed in advance
  source_place place;
};

struct rating_set {
  std::vector<rating> ratings;
  std::vector<abx_trial> abx;
  std::vector<std::string> warnings;
};

// A refusal: "abchr-analyse: file:line: cause; fix".
struct input_problem {
  source_place place;
  std::string message;
  input_problem() = default;
  input_problem(std::string file, int64_t line, std::string text)
      : place{std::move(file), line}, message(std::move(text)) {}
};
