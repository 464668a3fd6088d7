// What a test folder knows of each of its songs, kept in a private record per
// song (TEST/songs/<song>.json) from which every config, the key and the
// summary are written again whenever a song is added or replaced. A record
// holds what the preparation measured and the choices that made the served
// files (excerpt, fades, names), so that a song never has to be prepared again
// for the folder's shared files to change.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "blind_names.h"
#include "excerpt.h"

struct stimulus_entry {
  std::string name;   // served as stimuli/<song>/<name>.wav
  std::string input;  // the encoded file as given on the command line
  std::string codec;
  std::string container;
  int64_t bitrate = 0;  // bits per second; 0 when unknown
  std::string decoder;  // the decoder's name and version
  std::optional<int64_t> predicted_offset;
  int64_t offset = 0;  // frames by which its music came later than the original's
  double gain = 1;
  double gain_db = 0;
  double score = 0;
  int64_t clips = 0;
};

struct song_entry {
  std::string name;      // the folder under stimuli/
  std::string original;  // as given on the command line
  int64_t rate = 0;
  int channels = 0;
  int64_t common_frames = 0;  // of the full aligned stimuli
  excerpt_frames served;      // what was cut from them and how it fades
  double headroom_db = 0;
  naming names = naming::blind;
  uint64_t seed = 0;
  std::vector<stimulus_entry> stimuli;  // in command-line order
  std::vector<std::string> warnings;
};

// Choices that hold for the whole folder: remembered in TEST/folder.json, so
// that a song added later without them keeps the folder's configs as they were.
struct folder_settings {
  std::string id;             // 32 lowercase hex digits, drawn when the folder is made
  bool mushra_pages = false;  // --page mushra
  std::string path_prefix;    // --path-prefix, where the front end serves the folder
  std::string results_url;    // --results-url, where the listening page posts results
  int abx_trials = 0;         // --abx: the listening page's ABX trials per condition
};

struct folder_contents {
  std::string title;  // the test folder's own name
  folder_settings settings;
  std::vector<song_entry> songs;  // sorted by name
};

std::string song_record_json(const song_entry& song);
// false when the text is not such a record.
bool parse_song_record(const std::string& text, song_entry& song);
// The most ABX trials per condition that --abx takes.
constexpr int MAX_ABX_TRIALS = 100;
std::string folder_settings_json(const folder_settings& settings);
bool parse_folder_settings(const std::string& text, folder_settings& settings);

// The folder under stimuli/ and the file of the reference in it.
constexpr const char* STIMULI_FOLDER = "stimuli";
constexpr const char* REFERENCE_NAME = "reference";

// A served file's path relative to the served half (TEST/public/), as a URL path below the
// prefix: every byte outside letters, digits and "-._~/" percent-encoded, so
// that a song named "a#b" or "x?y" is fetched, not cut at a fragment or query.
std::string served_url(const folder_settings& settings, const std::string& song, const std::string& name);
// The same file as a path relative to TEST/public/.
std::string served_path(const std::string& song, const std::string& name);

// The stimuli in the order of their served names (S1, S2 ... S10), as the
// configs list them: the record's own order is the command line's, which
// would tell a listener who reads a config which codec is which.
std::vector<const stimulus_entry*> in_served_order(const song_entry& song);

// Text for display, with each byte that is not part of well-formed UTF-8
// replaced by U+FFFD: file names on Linux are bytes, and YAML, JSON and
// browsers want characters.
std::string displayable(const std::string& text);
// A name for machine identifiers: [A-Za-z0-9_-], others as "_".
std::string identifier(const std::string& text);
