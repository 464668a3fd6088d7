// A music-like stereo signal for the end-to-end runs: plucked notes of random
// pitch with decaying harmonics, a bass line, kick drums and noisy hi-hats.
// Lossy codecs need something like music to behave as they do on music (pure
// tones or white noise make them do odd things), and the alignment needs
// transients and a melody that never repeats exactly, so that no offset but the
// true one matches. Deterministic for a given seed.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "wav_writer.h"

constexpr int MUSIC_RATE = 44100;

struct music_rng {
  uint32_t state;
  uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state;
  }
  // Uniform in [0, 1).
  double unit() { return static_cast<double>(next() >> 8) / 16777216.0; }
  int below(int n) { return static_cast<int>(unit() * n); }
};

namespace music_detail {

// A decaying sinusoid added from frame `start` for `length` frames, run as a
// rotating phasor so that minutes of music stay cheap to make.
inline void add_partial(std::vector<double>& channel, std::size_t start, std::size_t length, double hz,
                        double amplitude, double decay_seconds, double attack_seconds) {
  const double step = 2 * std::numbers::pi * hz / MUSIC_RATE;
  const double c = std::cos(step);
  const double s = std::sin(step);
  const double fade = std::exp(-1.0 / (decay_seconds * MUSIC_RATE));
  const double attack_frames = attack_seconds * MUSIC_RATE;
  double re = 1.0;
  double im = 0.0;
  double envelope = amplitude;
  const std::size_t end = std::min(channel.size(), start + length);
  for (std::size_t i = start; i < end; ++i) {
    const double since = static_cast<double>(i - start);
    const double ramp = since < attack_frames ? since / attack_frames : 1.0;
    channel[i] += envelope * ramp * im;
    const double r = re * c - im * s;
    im = re * s + im * c;
    re = r;
    envelope *= fade;
  }
}

inline void add_note(std::vector<double>& channel, std::size_t start, double hz, double amplitude) {
  const std::size_t length = static_cast<std::size_t>(1.2 * MUSIC_RATE);
  for (int h = 1; h <= 5 && hz * h < 12000; ++h) {
    add_partial(channel, start, length, hz * h, amplitude / h, 0.45 / h, 0.004);
  }
}

inline void add_kick(std::vector<double>& channel, std::size_t start, double amplitude) {
  add_partial(channel, start, static_cast<std::size_t>(0.3 * MUSIC_RATE), 58.0, amplitude, 0.12, 0.001);
  add_partial(channel, start, static_cast<std::size_t>(0.05 * MUSIC_RATE), 140.0, amplitude * 0.5, 0.015,
              0.0005);
}

inline void add_hat(std::vector<double>& channel, std::size_t start, double amplitude, music_rng& rng) {
  const std::size_t end = std::min(channel.size(), start + static_cast<std::size_t>(0.08 * MUSIC_RATE));
  double envelope = amplitude;
  double previous = 0.0;
  const double fade = std::exp(-1.0 / (0.02 * MUSIC_RATE));
  for (std::size_t i = start; i < end; ++i) {
    const double white = rng.unit() - 0.5;
    channel[i] += envelope * (white - previous);  // a first difference: bright, like a cymbal
    previous = white;
    envelope *= fade;
  }
}

}  // namespace music_detail

// `frames` stereo frames of music, interleaved left then right, in 16-bit
// values peaking near -6 dBFS. 16-bit so that every encoder can take the very
// same music; the 32-bit original holds these values shifted left by 16.
inline std::vector<int16_t> music_16(std::size_t frames, unsigned seed = 1) {
  using namespace music_detail;
  std::vector<double> left(frames, 0.0);
  std::vector<double> right(frames, 0.0);
  music_rng rng{seed * 2654435761u + 12345u};
  // A pentatonic scale over three octaves from A3.
  const int steps[] = {0, 2, 4, 7, 9};
  const std::size_t beat = static_cast<std::size_t>(0.25 * MUSIC_RATE);
  for (std::size_t t = 0, n = 0; t < frames; t += beat, ++n) {
    const std::size_t jitter = static_cast<std::size_t>(rng.below(400));
    if (n % 4 == 0) {
      add_kick(left, t, 0.5);
      add_kick(right, t, 0.5);
    }
    if (rng.unit() < 0.7) add_hat(n % 2 == 0 ? left : right, t + beat / 2, 0.15, rng);
    if (rng.unit() < 0.8) {
      const int degree = rng.below(15);
      const double hz = 220.0 * std::pow(2.0, (12 * (degree / 5) + steps[degree % 5]) / 12.0);
      const double pan = rng.unit();
      add_note(left, t + jitter, hz, 0.25 * (1 - pan) + 0.05);
      add_note(right, t + jitter, hz, 0.25 * pan + 0.05);
    }
    if (n % 2 == 0) {
      const double bass = 55.0 * std::pow(2.0, steps[rng.below(5)] / 12.0);
      add_note(left, t, bass, 0.2);
      add_note(right, t, bass, 0.2);
    }
  }
  double peak = 1e-9;
  for (std::size_t i = 0; i < frames; ++i) peak = std::max({peak, std::fabs(left[i]), std::fabs(right[i])});
  const double scale = 0.5 * 32767 / peak;
  std::vector<int16_t> out(frames * 2);
  for (std::size_t i = 0; i < frames; ++i) {
    out[2 * i] = static_cast<int16_t>(std::lround(left[i] * scale));
    out[2 * i + 1] = static_cast<int16_t>(std::lround(right[i] * scale));
  }
  return out;
}

// Interleaved 16-bit values as the bytes of a 16-bit PCM WAV file.
inline bytes pcm16_wav(const std::vector<int16_t>& values) {
  bytes samples;
  samples.reserve(values.size() * 2);
  for (int16_t v : values) put_u16(samples, static_cast<uint16_t>(v));
  wav_layout w;
  w.bits = 16;
  return make_wav(w, samples);
}

// The same values as a 32-bit integer WAV file: v << 16, which loses nothing.
inline bytes pcm32_wav_from_16(const std::vector<int16_t>& values) {
  std::vector<int32_t> wide(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) wide[i] = static_cast<int32_t>(values[i]) * 65536;
  return make_wav(wav_layout{}, int_samples(wide));
}
