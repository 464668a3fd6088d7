// Stereo test signals for whole runs: music-like originals and what a codec
// makes of them (a delay, a level change, a little noise), as frames of doubles
// at full scale 1.0, written out as integer or float WAV files.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "wav_writer.h"

struct stereo {
  std::vector<double> left, right;
  std::size_t frames() const { return left.size(); }
};

inline double noise_at(unsigned& state) {
  state = state * 1664525u + 1013904223u;
  return static_cast<double>(state >> 8) / 16777216.0 - 0.5;
}

// Notes with attacks and decays over a bass line, a little noise on top.
inline stereo music(std::size_t frames, unsigned seed = 7, double level = 0.5) {
  stereo s{std::vector<double>(frames), std::vector<double>(frames)};
  unsigned state = seed;
  const double notes[] = {220, 277.18, 329.63, 440, 554.37, 659.26, 392, 493.88};
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / 44100.0;
    const std::size_t note = (i / 5512 + seed) % 8;
    const double since = static_cast<double>(i % 5512) / 44100.0;
    const double env = std::exp(-since * 6.0);
    const double tone = env * std::sin(2 * std::numbers::pi * notes[note] * t) +
                        0.3 * std::sin(2 * std::numbers::pi * 55 * t);
    s.left[i] = level * (0.7 * tone + 0.05 * noise_at(state));
    s.right[i] = level * (0.6 * tone + 0.05 * noise_at(state));
  }
  return s;
}

// What a codec might leave: `delay` frames later (earlier when negative),
// scaled by `gain`, with noise of the given level.
inline stereo codec_copy(const stereo& in, int delay, double gain, double noise, unsigned seed = 3) {
  stereo s{std::vector<double>(in.frames()), std::vector<double>(in.frames())};
  unsigned state = seed;
  for (std::size_t i = 0; i < in.frames(); ++i) {
    const long src = static_cast<long>(i) - delay;
    const bool inside = src >= 0 && src < static_cast<long>(in.frames());
    s.left[i] = (inside ? in.left[static_cast<std::size_t>(src)] * gain : 0.0) + noise * noise_at(state);
    s.right[i] = (inside ? in.right[static_cast<std::size_t>(src)] * gain : 0.0) + noise * noise_at(state);
  }
  return s;
}

inline bytes as_int_wav(const stereo& s) {
  std::vector<int32_t> v;
  for (std::size_t i = 0; i < s.frames(); ++i) {
    for (double x : {s.left[i], s.right[i]}) {
      const double c = std::fmax(-1.0, std::fmin(x, 2147483647.0 / 2147483648.0));
      v.push_back(static_cast<int32_t>(std::lround(c * 2147483648.0)));
    }
  }
  return make_wav(wav_layout{}, int_samples(v));
}

inline bytes as_float_wav(const stereo& s) {
  std::vector<float> v;
  for (std::size_t i = 0; i < s.frames(); ++i) {
    v.push_back(static_cast<float>(s.left[i]));
    v.push_back(static_cast<float>(s.right[i]));
  }
  return make_wav(float_layout(), float_samples(v));
}
