// Songs for the test-folder tests, made without codecs: a song's record as
// the preparation fills it, and its served files (the reference and one per
// "encoded" file, each its own pseudo-random music, cut and faded as
// planned); add_song serves it and commits it to a folder.
#pragma once

#include <algorithm>
#include <cerrno>
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
#include "platform.h"
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

// The record of a test song as the preparation fills it.
inline song_entry test_song_record(const test_song& t) {
  song_entry record;
  record.name = t.name;
  record.reference.input = "music/" + t.name + ".flac";
  record.rate = t.rate;
  record.channels = 2;
  record.common_frames = t.frames;
  for (std::size_t i = 0; i < t.codecs.size(); ++i) {
    stimulus_entry s;
    s.input = "enc/" + t.name + "_input" + std::to_string(i) + "." + t.codecs[i];
    s.codec = t.codecs[i];
    s.offset = 1105;
    s.gain = 1.01;
    s.gain_db = 0.0864;
    s.score = 0.0123;
    record.stimuli.push_back(s);
  }
  return record;
}

// A test song served as prepare_song serves one: its serving planned, then
// each served file written once into `served`, cut and faded.
inline folder_status serve_test_song(const test_song& t, const serving_choices& choices,
                                     const std::string& served, song_entry& record, folder_problem& problem) {
  record = test_song_record(t);
  std::string warning;
  const folder_status status = plan_serving(choices, record, warning, problem);
  if (status != folder_status::ok) return status;
  if (!warning.empty()) record.warnings.push_back(warning);
  const excerpt_frames& plan = record.served;
  for (std::size_t k = 0; k <= record.stimuli.size(); ++k) {
    const std::vector<int16_t> all = test_stimulus(static_cast<int>(k), t.frames);
    std::vector<int16_t> cut(all.begin() + plan.start * 2, all.begin() + (plan.start + plan.frames) * 2);
    apply_fades(cut, 2, plan.fade);
    const std::string name = k == 0 ? REFERENCE_NAME : record.stimuli[k - 1].name;
    if (!write_wav16(served + "/" + name + ".wav", t.rate, 2, cut)) {
      problem = {served, "cannot write", errno};
      return folder_status::failed;
    }
  }
  return folder_status::ok;
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
  intptr_t owner = 0;
  if (a.status == folder_status::ok) a.status = make_staging(test, t.name, staging, owner, a.problem);
  if (a.status != folder_status::ok) return a;
  std::filesystem::create_directory(staging + "/served");
  song_change change{staging + "/served", {}, mushra, prefix, {}, {}, {}};
  a.status = serve_test_song(t, choices, staging + "/served", change.record, a.problem);
  bool pending = false;
  if (a.status == folder_status::ok)
    a.status = commit_song(test, change, true, on_wait, a.replaced, pending, a.problem);
  unlock_file(owner);
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

// The folder checker (tests/check_test_folder.py, which reads the configs
// with the front ends' own parsers in Node): "" when it passes, else what it
// printed; "skip" without python3, Node.js or the parsers installed by npm.
inline std::string check_folder(const std::string& test, const std::vector<std::string>& hidden = {}) {
  if (*NODE_MODULES_DIR == '\0' || std::system("python3 -c '' >/dev/null 2>&1") != 0) return "skip";
  const auto quoted = [](const std::string& word) {
    std::string q = "'";
    for (const char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  };
  std::string command = "python3 " + quoted(std::string(TESTS_SOURCE_DIR) + "/check_test_folder.py") + " " +
                        quoted(NODE_PROGRAM) + " " + quoted(NODE_MODULES_DIR) + " " + quoted(test);
  for (const std::string& h : hidden) command.append(" ").append(quoted(h));
  command += " 2>&1";
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char buffer[4096];
  std::size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  const int status = pclose(p);
  return status == 0 ? "" : out.empty() ? "the checker failed" : out;
}
