// Songs for the test-folder tests, made without codecs: a prepared song is a
// folder of equal-length 16-bit WAV files (the reference and one per
// "encoded" file, each its own pseudo-random music) with its record, as the
// preparation leaves them; add_song serves it and commits it to a folder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "listening_folder.h"
#include "temp_dir.h"
#include "wav16.h"

// Frame f, channel c of stimulus k: loud enough that a fade changes it.
inline int16_t test_sample(int k, int64_t f, int c) {
  uint32_t x = static_cast<uint32_t>(k * 7919 + f * 2 + c) * 2654435761u;
  x ^= x >> 15;
  return static_cast<int16_t>(static_cast<int32_t>(x % 40001) - 20000);
}

inline std::vector<int16_t> test_stimulus(int k, int64_t frames, int channels = 2) {
  std::vector<int16_t> s(static_cast<std::size_t>(frames * channels));
  for (int64_t f = 0; f < frames; ++f) {
    for (int c = 0; c < channels; ++c) s[static_cast<std::size_t>(f * channels + c)] = test_sample(k, f, c);
  }
  return s;
}

struct test_song {
  std::string name = "song";
  std::vector<std::string> codecs = {"mp3", "aac", "vorbis"};
  int64_t rate = 8000;  // short files, quick tests
  int64_t frames = 8000 * 5;
};

inline prepared_song prepare_test_song(const std::string& folder, const test_song& t) {
  std::filesystem::create_directories(folder);
  prepared_song p;
  p.folder = folder;
  p.reference_wav = t.name + ".wav";
  write_wav16(folder + "/" + p.reference_wav, t.rate, 2, test_stimulus(0, t.frames));
  p.record.name = t.name;
  p.record.original = "music/" + t.name + ".flac";
  p.record.rate = t.rate;
  p.record.channels = 2;
  p.record.common_frames = t.frames;
  for (std::size_t i = 0; i < t.codecs.size(); ++i) {
    const std::string wav = t.name + "_" + std::to_string(i) + "_" + t.codecs[i] + ".wav";
    write_wav16(folder + "/" + wav, t.rate, 2, test_stimulus(static_cast<int>(i) + 1, t.frames));
    p.stimulus_wavs.push_back(wav);
    stimulus_entry s;
    s.input = "enc/" + t.name + "_input" + std::to_string(i) + "." + t.codecs[i];
    s.codec = t.codecs[i];
    s.offset = 1105;
    s.gain = 1.01;
    s.gain_db = 0.0864;
    s.score = 0.0123;
    p.record.stimuli.push_back(s);
  }
  return p;
}

struct added {
  folder_status status = folder_status::failed;
  folder_problem problem;
  bool replaced = false;
};

// What one run of abchr-prepare does for a song once it is prepared.
inline added add_song(const std::string& test, const test_song& t, const serving_choices& choices = {},
                      std::optional<bool> mushra = std::nullopt,
                      std::optional<std::string> prefix = std::nullopt, const lock_wait& on_wait = nullptr) {
  added a;
  a.status = open_test_folder(test, on_wait, a.problem);
  std::string staging;
  if (a.status == folder_status::ok) a.status = make_staging(test, t.name, staging, a.problem);
  if (a.status != folder_status::ok) return a;
  const prepared_song p = prepare_test_song(staging + "/prepared", t);
  std::filesystem::create_directory(staging + "/served");
  song_change change{staging + "/served", {}, mushra, prefix, {}, {}, {}};
  a.status = serve_song(p, choices, staging + "/served", change.record, a.problem);
  if (a.status == folder_status::ok) a.status = commit_song(test, change, on_wait, a.replaced, a.problem);
  std::filesystem::remove_all(staging);
  return a;
}

// Every file of a folder and its bytes, to show that a refused change left
// it as it was.
inline std::string folder_snapshot(const std::string& folder) {
  std::vector<std::string> lines;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
    std::string line = e.path().generic_string();
    if (e.is_regular_file()) {
      std::ifstream in(e.path(), std::ios::binary);
      std::ostringstream all;
      all << in.rdbuf();
      line.append(1, ' ').append(std::to_string(std::hash<std::string>{}(all.str())));
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

// The folder checker (tests/check_test_folder.py): "" when it passes, else
// what it printed; "skip" without python3 and its yaml module.
inline std::string check_folder(const std::string& test, const std::vector<std::string>& hidden = {}) {
  if (std::system("python3 -c 'import yaml' >/dev/null 2>&1") != 0) return "skip";
  std::string command = std::string("python3 ") + TESTS_SOURCE_DIR + "/check_test_folder.py '" + test + "'";
  for (const std::string& h : hidden) command += " '" + h + "'";
  command += " 2>&1";
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char buffer[4096];
  std::size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  const int status = pclose(p);
  return status == 0 ? "" : out.empty() ? "the checker failed" : out;
}
