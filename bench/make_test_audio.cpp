// Writes a synthesised music-like original and, optionally, copies of it that
// stand in for decoded lossy files: shifted in time, scaled, with added noise,
// as 32-bit integer or float WAV. For the demo and the whole-run benchmark.
//
//   make_test_audio SECONDS ORIGINAL.wav [--pcm16 FILE.wav] [COPY ...]
//   COPY = PATH:SHIFT:GAIN_DB:NOISE_DBFS[:float]
//   make_test_audio --widen DECODED16.wav DECODED32.wav
//
// SHIFT is in frames, positive when the copy's music lies later; NOISE_DBFS is
// the RMS of the added white noise relative to full scale. The original is
// 32-bit integer; --pcm16 also writes it as 16-bit, the form every encoder takes.
// --widen brings a decoder's 16-bit stereo output losslessly to 32-bit integer.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "codec_music.h"
#include "codec_wav.h"
#include "wav_writer.h"

namespace {

struct decoded_copy {
  std::string path;
  long shift = 0;
  double gain_db = 0;
  double noise_dbfs = -200;
  bool is_float = false;
};

bool parse_copy(const std::string& text, decoded_copy& copy) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1) {
    parts.push_back(text.substr(start, colon - start));
  }
  parts.push_back(text.substr(start));
  if (parts.size() != 4 && parts.size() != 5) return false;
  char* end = nullptr;
  copy.path = parts[0];
  copy.shift = std::strtol(parts[1].c_str(), &end, 10);
  if (*end != '\0') return false;
  copy.gain_db = std::strtod(parts[2].c_str(), &end);
  if (*end != '\0') return false;
  copy.noise_dbfs = std::strtod(parts[3].c_str(), &end);
  if (*end != '\0') return false;
  if (parts.size() == 5 && parts[4] != "float") return false;
  copy.is_float = parts.size() == 5;
  return !copy.path.empty();
}

bool save(const std::string& path, const bytes& b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  out.close();
  return !out.fail();
}

bool write_copy(const std::vector<int16_t>& music, const decoded_copy& copy, unsigned seed) {
  const double gain = std::pow(10.0, copy.gain_db / 20);
  // Uniform noise in [-a, a] has an RMS of a / sqrt(3).
  const double noise = std::pow(10.0, copy.noise_dbfs / 20) * std::sqrt(3.0) * 2;
  music_rng rng{seed};
  const long values = static_cast<long>(music.size());
  std::vector<int32_t> ints;
  std::vector<float> floats;
  for (long i = 0; i < values; ++i) {
    const long from = i - 2 * copy.shift;
    const double clean = from >= 0 && from < values ? music[static_cast<std::size_t>(from)] / 32768.0 : 0.0;
    const double x = clean * gain + (rng.unit() - 0.5) * noise;
    if (copy.is_float) {
      floats.push_back(static_cast<float>(x));
    } else {
      const double scaled =
          std::round(std::fmax(-1.0, std::fmin(x, 2147483647.0 / 2147483648.0)) * 2147483648.0);
      ints.push_back(static_cast<int32_t>(scaled));
    }
  }
  return save(copy.path, copy.is_float ? make_wav(float_layout(), float_samples(floats))
                                       : make_wav(wav_layout{}, int_samples(ints)));
}

int usage() {
  std::fprintf(stderr,
               "usage: make_test_audio SECONDS ORIGINAL.wav [--pcm16 FILE.wav] "
               "[PATH:SHIFT:GAIN_DB:NOISE_DBFS[:float] ...]\n"
               "       make_test_audio --widen DECODED16.wav DECODED32.wav\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  if (std::string(argv[1]) == "--widen" && argc == 4) {
    const std::string problem = widen_16_to_32(argv[2], argv[3]);
    if (!problem.empty()) std::fprintf(stderr, "make_test_audio: %s\n", problem.c_str());
    return problem.empty() ? 0 : 1;
  }
  const double seconds = std::atof(argv[1]);
  if (!(seconds > 1 && seconds < 3600)) return usage();
  std::string pcm16_path;
  std::vector<decoded_copy> copies;
  for (int k = 3; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg == "--pcm16" && k + 1 < argc) {
      pcm16_path = argv[++k];
      continue;
    }
    decoded_copy copy;
    if (!parse_copy(arg, copy)) return usage();
    copies.push_back(copy);
  }
  const std::vector<int16_t> music = music_16(static_cast<std::size_t>(std::lround(seconds * MUSIC_RATE)));
  if (!save(argv[2], pcm32_wav_from_16(music)) ||
      (!pcm16_path.empty() && !save(pcm16_path, pcm16_wav(music)))) {
    std::fprintf(stderr, "make_test_audio: cannot write the original\n");
    return 1;
  }
  for (std::size_t k = 0; k < copies.size(); ++k) {
    if (!write_copy(music, copies[k], static_cast<unsigned>(k + 7))) {
      std::fprintf(stderr, "make_test_audio: cannot write %s\n", copies[k].path.c_str());
      return 1;
    }
  }
  return 0;
}
