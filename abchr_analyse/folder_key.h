// What unblinding needs of the test folder: key.csv's rows (served names back
// to codecs, the front ends' page ids, the served files' hashes) and the
// folder's id from folder.json.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ratings.h"

struct key_row {
  std::string song;
  std::string name;  // "reference" or the served name
  std::string file;  // relative to the served half of the folder
  std::string codec;
  std::string bitrate;
  std::string sha256;
  std::string webmushra_page;
  std::string webmushra_mushra_page;
  std::string beaqlejs_test_id;
  int64_t line = 0;
};

struct folder_key {
  std::string folder_id;  // "" when folder.json holds none
  std::vector<key_row> rows;
  // The label that statistics group a stimulus under: its codec and bit rate.
  std::string codec_of(const key_row& row) const;
  const key_row* find(const std::string& song, const std::string& name) const;
  const key_row* find_webmushra_page(const std::string& page) const;
  bool is_mushra_page(const std::string& page, std::string& song) const;
  bool find_beaqlejs_test(const std::string& test_id, std::string& song) const;
};

// Reads TEST/key.csv and TEST/folder.json. Returns false with the problem.
bool read_folder_key(const std::string& test, folder_key& key, input_problem& problem);

// The whole file, or false with the system's error number.
bool read_whole_file(const std::string& path, std::string& text, int& error);
