// Running abchr-prepare in the tests: with the PATH a row gives it, on
// synthesised songs, and reading back what it wrote.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "codec_music.h"
#include "codec_wav.h"
#include "program_runner.h"
#include "wav_writer.h"

inline void set_path(const std::string& path) {
#ifdef _WIN32
  _putenv_s("PATH", path.c_str());
#else
  setenv("PATH", path.c_str(), 1);
#endif
}

// abchr-prepare with `path` as its PATH ("" keeps the test's own).
inline program_run run_prepare(const std::vector<std::string>& args, const std::string& workdir,
                               const std::string& path = "") {
  const char* own = std::getenv("PATH");
  const std::string saved = own != nullptr ? own : "";
  if (!path.empty()) set_path(path);
  program_run run = run_program(ABCHR_PREPARE_PATH, args, workdir);
  if (!path.empty()) set_path(saved);
  return run;
}

// Every name under `folder`, hidden ones included, sorted: what a run left.
inline std::vector<std::string> listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    names.push_back(std::filesystem::relative(entry.path(), folder).generic_string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The song's own report in a test folder of one song: songs/<song>/report.json.
inline nlohmann::json read_report(const std::string& folder) {
  std::string own;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder + "/songs", ec)) {
    if (entry.is_directory()) own = entry.path().generic_string();
  }
  const bytes b = read_file(own + "/report.json");
  return nlohmann::json::parse(std::string(b.begin(), b.end()), nullptr, false);
}

// A stimulus's sample rate, from its canonical 44-byte header.
inline uint32_t wav_rate(const std::string& path) {
  const bytes b = read_file(path);
  return b.size() >= 28 ? get_u32(b, 24) : 0;
}

// Music as a float WAV, each value times `scale`: a lossless stand-in for an
// encoded file, which ffmpeg decodes like any other.
inline bytes float_music_wav(const std::vector<int16_t>& music, double scale) {
  std::vector<float> values(music.size());
  for (std::size_t i = 0; i < music.size(); ++i) values[i] = static_cast<float>(music[i] / 32768.0 * scale);
  return make_wav(float_layout(), float_samples(values));
}
