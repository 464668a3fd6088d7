// The one model of a song: what the preparation measured, filled in by
// prepare_song, and the choices that made the served files (excerpt, fades,
// names). The song's own reports are rendered from it, and the test folder
// keeps it as a private record per song (TEST/songs/<song>.json), from which
// every config, the key and the summary are written again whenever a song is
// added or replaced, so that a song never has to be prepared again for the
// folder's shared files to change. (The record on disk leaves out what only
// the song's own reports give: the decoders' commands, the inputs' rates.)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "blind_names.h"
#include "excerpt.h"

struct stimulus_entry {
  std::string name;        // served as stimuli/<song>/<name>.wav
  std::string input;       // the file as given on the command line
  std::string codec;       // ffprobe's codec name
  std::string container;   // ffprobe's format name
  int64_t bitrate = 0;     // bits per second; 0 when unknown
  int64_t input_rate = 0;  // the input's own sample rate
  std::string decoder;     // "ffmpeg" or "opusdec" (a record read back: with its version)
  std::string decoder_version;
  std::vector<std::string> decoder_command;  // the argument vector, the decoder's path first
  std::optional<int64_t> predicted_offset;   // from the container's delay, where it carries one
  int64_t offset = 0;                        // frames by which its music came later than the original's
  double gain = 1;
  double gain_db = 0;
  double score = 0;
  bool silent = false;  // the compared stretch held no sound
  int64_t clips = 0;    // values beyond the 16-bit range, clamped
};

// "ffmpeg 5.1.2": the decoder and its version, as the record keeps them.
std::string decoder_text(const stimulus_entry& s);

struct song_entry {
  std::string name;  // the folder under stimuli/, the original's name without its extension
  int64_t rate = 0;
  int channels = 0;
  int64_t common_frames = 0;  // of the full aligned stimuli
  excerpt_frames served;      // what was cut from them and how it fades
  double headroom_db = 0;
  double reference_scale_db = 0;  // the reference's level change, headroom included
  int64_t initial_offset = 0;     // where the aligner's analysis window starts
  naming names = naming::blind;
  uint64_t seed = 0;
  stimulus_entry reference;             // the original, served as reference.wav
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
// Text that a front end inserts into its page as HTML (webMUSHRA's page
// names and test name, beaqlejs's test set names and test name): displayable,
// with "&", "<", ">", '"' and "'" as character references, so that a song
// named "Rock <live> & more" shows as named and never adds markup.
std::string html_text(const std::string& text);
// Text for a terminal or a plain-text report: each control character (C0,
// DEL, C1) as an escape ("\x1b", "\u0085") and each byte that is not part of
// well-formed UTF-8 as "\xHH", so that a file name never moves the cursor,
// rings a bell or starts a line of its own. Everything else as it is, and
// with `line_breaks` "\n" too, for a message whose own lines hold names.
std::string printable(const std::string& text, bool line_breaks = false);
// A name for machine identifiers: [A-Za-z0-9_-], others as "_".
std::string identifier(const std::string& text);
