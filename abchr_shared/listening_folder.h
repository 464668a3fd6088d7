// A listening-test folder of several songs, in two halves: what listeners
// may get, and what stays with the organiser.
//
//   TEST/public/              served as it is, and nothing private is in it:
//     stimuli/<song>/reference.wav, S1.wav ...
//     webmushra.yaml, beaqlejs_config.js    the front ends' configs
//     listen/                 the folder's own listening page (listen_page.h)
//   TEST/songs/<song>.json    each song's private record (song_record.h)
//   TEST/songs/<song>/        the song's own reports
//   TEST/folder.json          choices that hold for every song, and the id
//   TEST/key.csv              served names back to the encoded files
//   TEST/report.txt, report.json    the summary of every song
//   TEST/.lock                the lock of folder_lock.h
//
// Paths in the configs and the key are relative to public/.
//
// A song is added or replaced as a whole. It is prepared and its served
// files are made in a staging folder inside TEST (".new-<song>-<n>", on the
// same file system, so that a rename moves it in at once); then, under the
// lock, every shared file is written to a temporary name, and only when all
// are complete are the song's folder, its record and the shared files renamed
// into place. A failure before that leaves the folder as it was; a signal in
// that step waits until the step is done.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "excerpt.h"
#include "folder_lock.h"
#include "song_record.h"
#include "wav16.h"
#include "webmushra_config.h"

// The served half: upload it alone, anywhere, and the test stays blind.
constexpr const char* PUBLIC_FOLDER = "public";
constexpr const char* SONGS_FOLDER = "songs";
constexpr const char* SETTINGS_FILE = "folder.json";
constexpr const char* KEY_FILE = "key.csv";
constexpr const char* REPORT_TEXT_FILE = "report.txt";
constexpr const char* REPORT_JSON_FILE = "report.json";
constexpr const char* WEBMUSHRA_FILE = "webmushra.yaml";
constexpr const char* BEAQLEJS_FILE = "beaqlejs_config.js";

// What went wrong, for "abchr-prepare: <path>: <message>" and the system's
// reason (error, when not 0).
struct folder_problem {
  std::string path;
  std::string message;
  int error = 0;
};

enum class folder_status {
  ok,
  refused,  // the song or the folder breaks a rule; nothing was changed
  failed,   // the system failed a read or write; nothing was changed
};

// The song's name is the folder under stimuli/ and the record's file name:
// well-formed UTF-8, not empty, not starting with "." (the folder's own
// temporary names do), without "/", "\" or characters that Windows refuses in
// file names.
std::optional<std::string> song_name_problem(const std::string& name);

// Makes TEST when missing and marks it as a test folder (folder.json, with a
// new id); a folder of the old layout is converted (folder_layout.h). An
// existing folder that is neither empty nor a test folder is refused, so that
// a mistyped -o never scatters files into a folder of other things. on_wait
// is called when another run holds the folder's lock.
folder_status open_test_folder(const std::string& test, const lock_wait& on_wait, folder_problem& problem);

// After a failed run that made TEST: removes it again while it holds no song
// (only folder.json and the lock), so that the failure leaves nothing behind.
void forget_new_test_folder(const std::string& test);

// A new, empty staging folder inside TEST for one song.
folder_status make_staging(const std::string& test, const std::string& song, std::string& staging,
                           folder_problem& problem);

// A song as the preparation left it: full aligned 16-bit stimuli of equal
// length in one folder, and its record without the served names.
struct prepared_song {
  std::string folder;
  std::string reference_wav;               // file name in that folder
  std::vector<std::string> stimulus_wavs;  // in the record's order
  song_entry record;
};

struct serving_choices {
  std::optional<excerpt_seconds> excerpt;
  std::optional<int> fade_ms;  // default: DEFAULT_EXCERPT_FADE_MS with an excerpt, else 0
  naming names = naming::blind;
  uint64_t seed = 0;
};

// Makes the served files of a prepared song in served_folder (new and empty):
// the excerpt and fades applied alike to every stimulus, each under its served
// name. Fills in the record's served frames, names, seed, and the warning for
// stimuli beyond webMUSHRA's strict limit. Refused when the excerpt lies
// beyond the common length or the fades do not fit in it.
// on_file is told each file's path before it is made.
folder_status serve_song(const prepared_song& prepared, const serving_choices& choices,
                         const std::string& served_folder, song_entry& record, folder_problem& problem,
                         const std::function<void(const std::string&)>& on_file = {});

// Every song of the folder from its record, sorted by name, with the folder's
// settings.
folder_status read_test_folder(const std::string& test, folder_contents& contents, folder_problem& problem);

// The served files of each song (the reference, then its stimuli) as their
// headers describe them; `folder_of_song` is where the files of that song lie.
folder_status check_pages(const folder_contents& contents, const std::string& test,
                          const std::string& new_song, const std::string& new_song_folder,
                          folder_problem& problem);

struct song_change {
  std::string served_folder;  // becomes stimuli/<song>
  song_entry record;
  std::optional<bool> mushra_pages;  // given on this run's command line
  std::optional<std::string> path_prefix;
  // Files of the song's own for the organiser, kept in songs/<song>/: name, text.
  std::vector<std::pair<std::string, std::string>> private_files;
  std::optional<std::string> results_url;  // given on this run's command line; "" for none
  std::optional<int> abx_trials;           // given on this run's command line
};

// Adds or replaces the song, under the folder's lock, and writes every shared
// file again. on_wait is called when another run holds the lock. `replaced`
// tells whether the song was there before.
folder_status commit_song(const std::string& test, const song_change& change, const lock_wait& on_wait,
                          bool& replaced, folder_problem& problem);
