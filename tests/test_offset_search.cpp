// The shipped offset and gain search against the literal one, bit for bit:
// music through a simulated codec, exact copies, silent stretches, ties,
// unrelated music, delays outside the range and non-finite values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "held_memory.h"
#include "kernel_set_param.h"
#include "offset_search.h"
#include "offset_search_audit.h"
#include "offset_search_correlation.h"
#include "offset_search_literal.h"
#include "program_runner.h"
#include "search_windows.h"
#include "signal_maker.h"
#include "wav_writer.h"

namespace {

using search_windows::window_pair;

// Under the sanitizers the literal search runs about ten times slower; the
// tables there keep fewer of the generated rows.
#ifdef SEARCH_TESTS_REDUCED
constexpr bool REDUCED = true;
#else
constexpr bool REDUCED = false;
#endif

// One run's memory for every search of this program, as one run reuses it.
search_workspace& workspace() {
  static held_memory memory;
  return memory->search;
}

std::uint64_t bits(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// The search, its lower bounds and the correlation behind them run once for
// every set of vector loops: every set must give the literal search's bits.
KERNEL_SET_SUITE(SearchOffset);
KERNEL_SET_SUITE(VectorLoops);
KERNEL_SET_SUITE(ResidualLowerBounds);
KERNEL_SET_SUITE(CorrelateCandidates);

// Runs both searches on the pair and expects the same flag, offset and bits.
search_result expect_same_as_literal(const window_pair& p, const kernel_set& kernels) {
  const search_result want = search_offset_literal(p.reference.data(), p.test.data());
  const search_result got = search_offset(p.reference.data(), p.test.data(), kernels, workspace());
  EXPECT_EQ(got.silent, want.silent);
  EXPECT_EQ(got.offset, want.offset);
  EXPECT_EQ(bits(got.gain), bits(want.gain)) << got.gain << " vs " << want.gain;
  EXPECT_EQ(bits(got.score), bits(want.score)) << got.score << " vs " << want.score;
  return got;
}

struct codec_row {
  std::uint64_t seed;
  int shift;
  double gain;
  double noise;
};

std::vector<codec_row> codec_rows() {
  std::vector<codec_row> rows = {
      {1, 0, 0.97, 0.01},    {2, 576, 1.02, 0.01},  {3, 1105, 0.98, 0.003}, {4, 2112, 1.0, 0.03},
      {5, -800, 0.95, 0.01}, {6, 7000, 1.05, 0.01}, {7, -2500, 0.99, 0.01}, {8, -2499, 1.0, 0.001},
      {9, 7499, 1.01, 0.01}, {10, 7498, 0.9, 0.02}, {11, -1, 1.0, 0.0001},  {12, 1, 1.0, 0.1},
      {13, 3333, 0.8, 0.2},  {14, 5000, 1.2, 0.05}, {15, 0, 1.0, 0.0},      {16, 4444, 0.5, 0.0},
      {17, -1234, 1.0, 0.3}, {18, 6000, 1.0, 1e-6},
  };
  if (REDUCED) rows.resize(6);
  // More delays spread over the whole range, with various levels and noise.
  std::mt19937_64 rng(2024);
  std::uniform_int_distribution<int> shift(MIN_OFFSET, MAX_OFFSET);
  std::uniform_real_distribution<double> gain(0.85, 1.15);
  const double noises[] = {0.0, 1e-4, 1e-3, 0.01, 0.05, 0.2};
  const int spread = REDUCED ? 4 : 60;
  for (int i = 0; i < spread; ++i) {
    rows.push_back({100u + static_cast<std::uint64_t>(i), shift(rng), gain(rng), noises[i % 6]});
  }
  return rows;
}

TEST_P(SearchOffset, MatchesLiteralOnMusicThroughCodec) {
  for (const codec_row& row : codec_rows()) {
    SCOPED_TRACE("seed " + std::to_string(row.seed) + " shift " + std::to_string(row.shift) + " gain " +
                 std::to_string(row.gain) + " noise " + std::to_string(row.noise));
    const search_result got = expect_same_as_literal(
        search_windows::codec_pair(row.seed, row.shift, row.gain, row.noise), kernels());
    // With little noise the delay is found.
    if (row.noise <= 0.03) {
      EXPECT_EQ(got.offset, row.shift);
    }
  }
}

// A quick look at each set: a few delays and a steady tone.
TEST_P(VectorLoops, MatchLiteral) {
  for (int shift : {-800, 1105, 7000}) {
    SCOPED_TRACE("shift " + std::to_string(shift));
    expect_same_as_literal(search_windows::codec_pair(40, shift, 0.97, 0.01), kernels());
  }
  expect_same_as_literal(search_windows::tone_pair(441.0, 300, 0.0, 1), kernels());
}

// Original and decoded windows from frame 0 of their files, the decoded file
// holding the original's frames scaled and behind `zeros` frames of silence.
window_pair copy_pair(std::uint64_t seed, int zeros, double scale) {
  const std::vector<double> x = search_windows::music(seed, ANALYSIS_WINDOW);
  std::vector<double> y(x.size(), 0.0);
  for (std::size_t i = static_cast<std::size_t>(zeros); i < x.size(); ++i) y[i] = scale * x[i - zeros];
  const std::vector<double> fx = search_windows::filtered(x);
  const std::vector<double> fy = search_windows::filtered(y);
  return {fx, fy};
}

TEST_P(SearchOffset, ExactCopiesGiveExactOffsetGainAndScore) {
  struct row {
    int zeros;
    double scale;
    double gain;
  };
  const row rows[] = {{0, 1.0, 1.0},    {1, 1.0, 1.0},    {2, 1.0, 1.0}, {1105, 1.0, 1.0},
                      {4096, 1.0, 1.0}, {7499, 1.0, 1.0}, {0, 0.5, 2.0}, {0, 2.0, 0.5}};
  for (const row& r : rows) {
    SCOPED_TRACE("zeros " + std::to_string(r.zeros) + " scale " + std::to_string(r.scale));
    const search_result got = expect_same_as_literal(copy_pair(7, r.zeros, r.scale), kernels());
    EXPECT_FALSE(got.silent);
    EXPECT_EQ(got.offset, r.zeros);
    EXPECT_EQ(bits(got.gain), bits(r.gain));
    EXPECT_EQ(bits(got.score), bits(0.0));
  }
}

// A window pair built from music and then changed by `edit`.
struct edited_row {
  const char* name;
  std::function<void(window_pair&)> edit;
  bool silent;
};

void fill(std::vector<double>& v, int from, int to, double value) {
  for (int i = from; i < to; ++i) v[static_cast<std::size_t>(i)] = value;
}

void run_edited_rows(const std::vector<edited_row>& rows, const kernel_set& kernels) {
  const window_pair music = search_windows::codec_pair(21, 900, 0.98, 0.01);
  for (const edited_row& row : rows) {
    SCOPED_TRACE(row.name);
    window_pair p = music;
    row.edit(p);
    EXPECT_EQ(expect_same_as_literal(p, kernels).silent, row.silent);
  }
}

TEST_P(SearchOffset, SilentStretchesMatchLiteral) {
  // Squares of magnitudes up to 2^-538 round to 0; 2^-537 squared is the
  // smallest subnormal number.
  const double vanishing = std::ldexp(1.0, -538);
  const double smallest = std::ldexp(1.0, -537);
  std::vector<edited_row> rows = {
      {"decoded zero in 0..29999", [](window_pair& p) { fill(p.test, 0, 30000, 0.0); }, true},
      {"decoded zero in 0..29998", [](window_pair& p) { fill(p.test, 0, 29999, 0.0); }, false},
      {"decoded zero in 9999..39998", [](window_pair& p) { fill(p.test, 9999, 39999, 0.0); }, true},
      {"decoded zero in 10000..39999", [](window_pair& p) { fill(p.test, 10000, 40000, 0.0); }, false},
      {"decoded zero in 5000..34999", [](window_pair& p) { fill(p.test, 5000, 35000, 0.0); }, true},
      {"decoded zero in 0..19999", [](window_pair& p) { fill(p.test, 0, 20000, 0.0); }, false},
      {"decoded zero in 25000..39999", [](window_pair& p) { fill(p.test, 25000, 40000, 0.0); }, false},
      {"decoded all zero", [](window_pair& p) { fill(p.test, 0, 40000, 0.0); }, true},
      {"decoded squares underflow", [=](window_pair& p) { fill(p.test, 0, 40000, -vanishing); }, true},
      {"decoded squares underflow in 3000..32999",
       [=](window_pair& p) { fill(p.test, 3000, 33000, vanishing); }, true},
      {"decoded squares smallest subnormal", [=](window_pair& p) { fill(p.test, 0, 40000, smallest); },
       false},
      {"decoded zero but one smallest",
       [=](window_pair& p) {
         fill(p.test, 0, 40000, 0.0);
         p.test[20000] = smallest;
       },
       false},
      {"decoded zero but one at position 39999",
       [=](window_pair& p) {
         fill(p.test, 0, 40000, 0.0);
         p.test[39999] = 1.0;
       },
       true},
      {"decoded tiny 1e-160", [](window_pair& p) { fill(p.test, 0, 40000, 1e-160); }, false},
      {"reference zero", [](window_pair& p) { fill(p.reference, 0, 40000, 0.0); }, true},
      {"reference zero in 2500..32499", [](window_pair& p) { fill(p.reference, 2500, 32500, 0.0); }, true},
      {"reference zero but position 2500",
       [](window_pair& p) {
         fill(p.reference, 0, 40000, 0.0);
         p.reference[2500] = 0.25;
       },
       false},
      {"reference squares underflow", [=](window_pair& p) { fill(p.reference, 0, 40000, vanishing); }, true},
      {"reference tiny 1e-150", [](window_pair& p) { fill(p.reference, 0, 40000, 1e-150); }, false},
      {"both zero",
       [](window_pair& p) {
         fill(p.reference, 0, 40000, 0.0);
         fill(p.test, 0, 40000, 0.0);
       },
       true},
  };
  run_edited_rows(rows, kernels());
}

TEST_P(SearchOffset, NonFiniteValuesMatchLiteral) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct row {
    bool in_test;
    int position;
    double value;
  };
  std::vector<row> rows = {
      {true, 20000, nan},    {true, 0, nan},     {true, 39998, inf},  {true, 39999, nan},
      {true, 5000, -inf},    {true, 35000, inf}, {true, 2500, 1e200}, {true, 9000, 1e155},
      {false, 20000, nan},   {false, 2499, nan}, {false, 32500, inf}, {false, 32499, -inf},
      {false, 10000, 1e160}, {true, 100, nan},   {true, 39000, nan},
  };
  if (REDUCED) rows.resize(5);
  const window_pair music = search_windows::codec_pair(22, -300, 1.03, 0.01);
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.in_test ? "decoded" : "original") + " position " + std::to_string(r.position) +
                 " value " + std::to_string(r.value));
    window_pair p = music;
    (r.in_test ? p.test : p.reference)[static_cast<std::size_t>(r.position)] = r.value;
    expect_same_as_literal(p, kernels());
  }
}

TEST_P(SearchOffset, TiesGoToTheMostNegativeOffset) {
  struct row {
    std::uint64_t seed;
    int period;
    int shift;
    double gain;
    std::uint64_t test_seed;  // 0: the same table, an exact match
  };
  std::vector<row> rows = {{1, 441, 300, 1.0, 0},   {2, 100, 0, 1.0, 0},     {3, 1000, 7000, 0.5, 0},
                           {4, 2500, 5000, 1.0, 0}, {5, 9999, 7499, 1.0, 0}, {6, 17, -2500, 2.0, 0},
                           {7, 441, 300, 1.0, 70},  {8, 1500, 0, 0.9, 80},   {9, 4000, 100, 1.0, 90}};
  if (REDUCED) rows.resize(4);
  for (const row& r : rows) {
    SCOPED_TRACE("period " + std::to_string(r.period) + " shift " + std::to_string(r.shift) +
                 " other table " + std::to_string(r.test_seed));
    const search_result got = expect_same_as_literal(
        search_windows::periodic_pair(r.seed, r.period, r.shift, r.gain, r.test_seed), kernels());
    // Offsets a period apart read the same stretch: the most negative of
    // them is reported.
    EXPECT_LT(got.offset, MIN_OFFSET + r.period);
    if (r.test_seed == 0) {
      int first = r.shift;
      while (first - r.period >= MIN_OFFSET) first -= r.period;
      while (first < MIN_OFFSET) first += r.period;
      EXPECT_EQ(got.offset, first);
    }
  }
}

TEST_P(SearchOffset, NearTiesOfSteadyTonesMatchLiteral) {
  // Tones computed at every frame repeat only up to rounding: many offsets
  // have residuals a few units in the last place apart.
  struct row {
    double frequency;
    int shift;
    double noise;
  };
  std::vector<row> rows = {{441.0, 300, 0.0}, {1000.0, -700, 0.0}, {441.0, 4000, 1e-3}, {3150.0, 6000, 0.01}};
  if (REDUCED) rows.resize(2);
  for (const row& r : rows) {
    SCOPED_TRACE("tone " + std::to_string(r.frequency) + " shift " + std::to_string(r.shift));
    expect_same_as_literal(search_windows::tone_pair(r.frequency, r.shift, r.noise, 5), kernels());
  }
}

TEST_P(SearchOffset, UnrelatedMusicAndDelaysOutsideTheRangeMatchLiteral) {
  std::vector<std::function<window_pair()>> rows = {
      [] { return search_windows::unrelated_pair(31); },
      [] { return search_windows::codec_pair(32, 9000, 0.97, 0.01); },
      [] { return search_windows::codec_pair(33, -4000, 1.0, 0.001); },
      [] { return search_windows::unrelated_pair(34); },
      [] { return search_windows::codec_pair(35, 7600, 1.0, 0.0); },
      [] { return search_windows::codec_pair(36, -2600, 1.0, 0.0); },
  };
  if (REDUCED) rows.resize(2);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    expect_same_as_literal(rows[i](), kernels());
  }
}

// Float files may hold values far beyond full scale. With an original at
// +-32768 and a copy carrying noise of a tenth of its level, the residual at
// the true delay is about 1e9: no fixed ceiling may hide it.
TEST_P(SearchOffset, LoudFloatTracksFindTheirDelay) {
  window_pair p = search_windows::codec_pair(7, 576, 1.0, 0.1);
  for (std::vector<double>* window : {&p.reference, &p.test}) {
    for (double& v : *window) v *= 32768.0;
  }
  EXPECT_EQ(expect_same_as_literal(p, kernels()).offset, 576);
}

TEST(FindOffsetAndGain, LoudFloatFilesGiveAnAudibleStimulus) {
  temp_dir dir;
  const stereo original = music(60000, 7, 65536.0);
  write_file(dir.file("o.wav"), as_float_wav(original));
  write_file(dir.file("d32b.wav"), as_float_wav(codec_copy(original, 576, 1.0, 3000.0)));
  const program_run run = run_program(WAVMATCH2_PATH, {"o.wav", "d32b.wav"}, dir.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("O:  576"), std::string::npos) << run.out;
  const bytes raw = read_file(dir.file("d.raw"));
  EXPECT_FALSE(raw.empty());
  EXPECT_NE(std::count(raw.begin(), raw.end(), 0), static_cast<long>(raw.size())) << "silent stimulus";
}

// Candidate c's complete residual as the literal search sums it, without the
// early stop (NaN or infinite where its gain is not finite).
double complete_residual(const window_pair& p, double reference_energy, int c) {
  const double* r = p.reference.data() + REFERENCE_BEGIN;
  const double* t = p.test.data() + c;
  double energy = 0.0;
  for (int k = 0; k < REFERENCE_LENGTH; ++k) energy = energy + t[k] * t[k];
  const double gain = std::sqrt(reference_energy / energy);
  double residual = 0.0;
  for (int k = 0; k < REFERENCE_LENGTH; ++k) {
    const double e = t[k] * gain - r[k];
    residual = residual + e * e;
  }
  return residual;
}

// The loudest position of every 15 of the compared stretch nudged by a
// relative 1e-3 in a copy delayed by `zeros` frames: at that offset most of
// the residual lies where the search takes its bound terms, so its bound
// comes close to the residual (the nudge is larger than the width of the
// gain bracket of a group of four candidates).
window_pair nudged_copy(int zeros) {
  window_pair p = copy_pair(8, zeros, 1.0);
  for (int start = 0; start < REFERENCE_LENGTH; start += 15) {
    int loudest = start;
    for (int k = start; k < start + 15; ++k) {
      if (std::fabs(p.reference[REFERENCE_BEGIN + k]) > std::fabs(p.reference[REFERENCE_BEGIN + loudest])) {
        loudest = k;
      }
    }
    p.test[static_cast<std::size_t>(REFERENCE_BEGIN + loudest + zeros)] *= 1.0 + 1e-3;
  }
  return p;
}

// The bounds the search prunes with never exceed the residuals they bound:
// checked for the winner's neighbourhood and a spread of other candidates.
TEST_P(ResidualLowerBounds, NeverExceedTheCompleteResidual) {
  struct row {
    const char* name;
    std::function<window_pair()> make;
    double tightest;  // the bound at the winner reaches this share of its residual
  };
  std::vector<row> rows = {
      {"nudged copy", [] { return nudged_copy(1105); }, 0.3},
      {"codec", [] { return search_windows::codec_pair(61, 2112, 0.97, 0.01); }, 0.0},
      {"unrelated", [] { return search_windows::unrelated_pair(62); }, 0.5},
      {"exact copy", [] { return copy_pair(63, 700, 1.0); }, 0.0},
      {"half amplitude", [] { return copy_pair(64, 0, 0.5); }, 0.0},
      {"other periodic table", [] { return search_windows::periodic_pair(65, 441, 300, 1.0, 66); }, 0.0},
      {"steady tone", [] { return search_windows::tone_pair(441.0, 300, 0.0, 1); }, 0.0},
  };
  if (REDUCED) rows.resize(3);
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const window_pair p = r.make();
    std::vector<double> low(MAX_OFFSET - MIN_OFFSET + 1);
    ASSERT_TRUE(residual_lower_bounds(p.reference.data(), p.test.data(), low.data(), kernels(), workspace()));
    const search_result found = search_offset_literal(p.reference.data(), p.test.data());
    double reference_energy = 0.0;
    for (int k = REFERENCE_BEGIN; k < REFERENCE_END; ++k) {
      reference_energy = reference_energy + p.reference[k] * p.reference[k];
    }
    const int winner = found.offset - MIN_OFFSET;
    const int stride = REDUCED ? 97 : 7;
    for (int c = 0; c <= MAX_OFFSET - MIN_OFFSET; ++c) {
      if (std::abs(c - winner) > 24 && c % stride != 0) continue;
      const double residual = complete_residual(p, reference_energy, c);
      if (std::isnan(residual)) continue;
      EXPECT_LE(low[c], residual) << "candidate " << c;
    }
    const double at_winner = complete_residual(p, reference_energy, winner);
    EXPECT_GE(low[winner], r.tightest * at_winner);
  }
}

// The transform's correlations lie within the error bound they come with,
// checked against sums in extended precision (whose own error is far below).
TEST_P(CorrelateCandidates, StaysWithinItsErrorBound) {
  struct row {
    const char* name;
    window_pair pair;
  };
  const row rows[] = {
      {"codec", search_windows::codec_pair(51, 1105, 0.97, 0.01)},
      {"unrelated", search_windows::unrelated_pair(52)},
      {"tone", search_windows::tone_pair(3150.0, 0, 0.0, 1)},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const double* stretch = r.pair.reference.data() + REFERENCE_BEGIN;
    const double* test = r.pair.test.data();
    double energy = 0.0;
    for (int i = 0; i < ANALYSIS_WINDOW - 1; ++i) energy += test[i] * test[i];
    for (int k = 0; k < REFERENCE_LENGTH; ++k) energy += stretch[k] * stretch[k];
    std::vector<double> correlation(MAX_OFFSET - MIN_OFFSET + 1);
    const double error = correlate_candidates(test, stretch, energy * 1.001, correlation.data(), kernels(),
                                              workspace().transform);
    EXPECT_LT(error, 1e-6 * energy);  // tight enough to rule candidates out
    for (int c = 0; c <= MAX_OFFSET - MIN_OFFSET; c += REDUCED ? 499 : 37) {
      long double exact = 0.0L;
      for (int k = 0; k < REFERENCE_LENGTH; ++k) {
        exact += static_cast<long double>(test[c + k]) * stretch[k];
      }
      EXPECT_LE(std::fabs(static_cast<double>(exact - correlation[c])), error) << "candidate " << c;
      // Far inside the bound, as the rounding analysis predicts.
      EXPECT_LE(std::fabs(static_cast<double>(exact - correlation[c])), 1e-10 * energy);
    }
  }
}

// find_offset_and_gain stores the result, or reports silence and leaves the
// track as it was.
TEST(FindOffsetAndGain, StoresResultOrReportsSilence) {
  struct row {
    bool silent;
  };
  for (const row r : {row{false}, row{true}}) {
    SCOPED_TRACE(r.silent ? "silent" : "music");
    window_pair p = search_windows::codec_pair(41, 576, 0.97, 0.01);
    if (r.silent) fill(p.test, 0, 40000, 0.0);
    wav_track original{};
    wav_track decoded{};
    original.samples = p.reference.data();
    decoded.samples = p.test.data();
    decoded.gain = 1.0;
    const search_result found = find_offset_and_gain(original, decoded, workspace());
    EXPECT_EQ(found.silent, r.silent);
    if (r.silent) {
      EXPECT_EQ(decoded.offset, 0);
      EXPECT_EQ(decoded.gain, 1.0);
      EXPECT_EQ(decoded.score, 0.0);
    } else {
      const search_result want = search_offset_literal(p.reference.data(), p.test.data());
      EXPECT_EQ(decoded.offset, want.offset);
      EXPECT_EQ(bits(decoded.gain), bits(want.gain));
      EXPECT_EQ(bits(decoded.score), bits(want.score));
    }
  }
}

}  // namespace
