// Analysis windows for exercising the offset and gain search: music-like
// signals run through the equal-loudness filter as the aligner does, and a
// simulated lossy codec (delay, slight level change, added noise). Used by the
// search tests and the search benchmark.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "filter_one_track.h"
#include "wav_track.h"

namespace search_windows {

// Frames before the analysis window, as if the window began at this
// initial_offset of the file; also room for delays in both directions.
constexpr int LEAD_IN = 9000;
constexpr int SIGNAL_FRAMES = LEAD_IN + ANALYSIS_WINDOW + 9000;
constexpr double PI = 3.14159265358979323846;
constexpr double RATE = 44100.0;

struct window_pair {
  std::vector<double> reference;  // the original's window, ANALYSIS_WINDOW values
  std::vector<double> test;       // the decoded track's window
};

// A channel-sum signal (full scale about 2) with decaying tones, noise bursts
// and a drum-like thump on every beat, different for every seed.
inline std::vector<double> music(std::uint64_t seed, int frames = SIGNAL_FRAMES) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::vector<double> x(static_cast<std::size_t>(frames), 0.0);
  // Notes: a few partials of a random pitch, each decaying from its onset.
  for (int start = 0; start < frames;) {
    const double pitch = 80.0 * std::pow(2.0, 5.0 * unit(rng));
    const double level = 0.05 + 0.25 * unit(rng);
    const double decay = 1.0 / (2000.0 + 20000.0 * unit(rng));
    const int length = 3000 + static_cast<int>(30000 * unit(rng));
    for (int p = 1; p <= 4; ++p) {
      const double w = 2.0 * PI * pitch * p / RATE;
      const double phase = 2.0 * PI * unit(rng);
      for (int i = start; i < frames && i < start + length; ++i) {
        x[i] += level / p * std::exp(-(i - start) * decay) * std::sin(w * (i - start) + phase);
      }
    }
    start += 1000 + static_cast<int>(8000 * unit(rng));
  }
  // Drum: a low sine falling in pitch under a sharp envelope, every beat;
  // a noise burst (snare) on every other beat.
  const int beat = 9000 + static_cast<int>(9000 * unit(rng));
  for (int b = 0; b * beat < frames; ++b) {
    for (int i = b * beat; i < frames && i < b * beat + 6000; ++i) {
      const double t = (i - b * beat) / RATE;
      x[i] += 0.6 * std::exp(-t * 30.0) * std::sin(2.0 * PI * (50.0 * t + 60.0 * (1 - std::exp(-t * 20.0))));
      if (b % 2 == 1) x[i] += 0.2 * std::exp(-t * 60.0) * gauss(rng);
    }
  }
  return x;
}

inline std::vector<double> filtered(const std::vector<double>& input) {
  std::vector<double> out(input.size());
  loudness_filter fresh;
  filter_run(fresh, input.data(), out.data(), static_cast<int>(input.size()));
  return out;
}

// The window a track's filtered signal gives from frame LEAD_IN on.
inline std::vector<double> window_of(const std::vector<double>& filtered_signal) {
  return {filtered_signal.begin() + LEAD_IN, filtered_signal.begin() + LEAD_IN + ANALYSIS_WINDOW};
}

// The input signal delayed by `shift` frames (negative: earlier), scaled by
// `gain`, with white noise of `noise` times the signal's RMS added.
inline std::vector<double> codec(const std::vector<double>& x, std::uint64_t seed, int shift, double gain,
                                 double noise) {
  std::mt19937_64 rng(seed ^ 0x9e3779b97f4a7c15ull);
  std::normal_distribution<double> gauss(0.0, 1.0);
  double energy = 0.0;
  for (double v : x) energy += v * v;
  const double sigma = noise * std::sqrt(energy / static_cast<double>(x.size()));
  std::vector<double> y(x.size(), 0.0);
  const int n = static_cast<int>(x.size());
  for (int i = 0; i < n; ++i) {
    const int from = i - shift;
    const double music_value = from >= 0 && from < n ? x[from] : 0.0;
    y[i] = gain * music_value + (noise > 0.0 ? sigma * gauss(rng) : 0.0);
  }
  return y;
}

// Original and decoded windows of one piece of music through the codec.
inline window_pair codec_pair(std::uint64_t seed, int shift, double gain, double noise) {
  const std::vector<double> x = music(seed);
  return {window_of(filtered(x)), window_of(filtered(codec(x, seed, shift, gain, noise)))};
}

// Windows of two unrelated pieces of music.
inline window_pair unrelated_pair(std::uint64_t seed) {
  return {window_of(filtered(music(seed))), window_of(filtered(music(seed + 1000003)))};
}

// A periodic window: a table of `period` filtered values repeated, the decoded
// one delayed by `shift` frames. Every offset that differs from the delay by a
// multiple of the period matches exactly. With a different `test_seed` the
// decoded window repeats another table: offsets a period apart then have
// exactly equal residuals that are not 0.
inline window_pair periodic_pair(std::uint64_t seed, int period, int shift, double gain,
                                 std::uint64_t test_seed = 0) {
  const std::vector<double> table = filtered(music(seed, period));
  const std::vector<double> test_table = test_seed == 0 ? table : filtered(music(test_seed, period));
  window_pair p{std::vector<double>(ANALYSIS_WINDOW), std::vector<double>(ANALYSIS_WINDOW)};
  for (int i = 0; i < ANALYSIS_WINDOW; ++i) {
    const int j = ((i - shift) % period + period) % period;
    p.reference[i] = table[static_cast<std::size_t>(i % period)];
    p.test[i] = gain * test_table[static_cast<std::size_t>(j)];
  }
  return p;
}

// A steady tone computed afresh at every frame: nearly periodic, so that many
// offsets have almost equal residuals that differ only by rounding.
inline window_pair tone_pair(double frequency, int shift, double noise, std::uint64_t seed) {
  std::vector<double> x(SIGNAL_FRAMES);
  for (int i = 0; i < SIGNAL_FRAMES; ++i) x[i] = 0.5 * std::sin(2.0 * PI * frequency * i / RATE);
  return {window_of(filtered(x)), window_of(filtered(codec(x, seed, shift, 1.0, noise)))};
}

}  // namespace search_windows
