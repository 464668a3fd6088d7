// Shared pieces of the aligner's tests: its usage text and quick ways to make
// valid inputs of a given length.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "wav_writer.h"

inline const std::string WAVMATCH_USAGE =
    "Wavmatch ver.2.0.0 (https://abchr-tools.example.org/)\r\r\n"
    " Equalize offset and gain of 32bit float or int 44100Hz wav files.\r\r\n"
    "  Then output them as raw, to perform an abc/hr test.\r\r\n\r\r\n"
    "    usage:  wavmatch original.wav lossy1.wav lossy2.wav.....\r\r\n\r\r\n"
    "Detectable offset: -2500 ~ 7499[sample].\r\r\n\r\r\n"
    " Yulewalk filter for 44.1kHz is used to normalize gain.\r\r\n";

// A few seconds of something music-like: tones with a slow beat and some noise,
// as 32-bit integer frames.
inline std::vector<int32_t> music_frames(int frames, unsigned seed = 1) {
  std::vector<int32_t> v(static_cast<std::size_t>(frames) * 2);
  unsigned state = seed * 2654435761u + 1;
  for (int i = 0; i < frames; ++i) {
    const double t = i / 44100.0;
    const double beat = 0.5 + 0.5 * std::sin(2 * M_PI * 2.0 * t);
    state = state * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 0.05;
    const double left = 0.3 * beat * std::sin(2 * M_PI * 440 * t) + 0.1 * std::sin(2 * M_PI * 97 * t) + noise;
    const double right = 0.25 * beat * std::sin(2 * M_PI * 660 * t + 0.3) + 0.1 * std::sin(2 * M_PI * 97 * t);
    v[2 * static_cast<std::size_t>(i)] = static_cast<int32_t>(left * 2147483647.0);
    v[2 * static_cast<std::size_t>(i) + 1] = static_cast<int32_t>(right * 2147483647.0);
  }
  return v;
}

inline bytes music_wav(int frames, unsigned seed = 1) { return make_wav(wav_layout{}, int_samples(music_frames(frames, seed))); }
