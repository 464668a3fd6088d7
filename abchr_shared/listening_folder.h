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
//   TEST/key-history.csv      key.csv's rows of each song as they were before
//                             each replacement of that song
//   TEST/.lock                the lock of folder_lock.h
//   TEST/.commit              while a change is put in place: its renames
//
// Paths in the configs and the key are relative to public/.
//
// A song is added or replaced as a whole. It is prepared and its served
// files are made in a staging folder inside TEST (".new-<song>-<n>", on the
// same file system, so that a rename moves it in at once); then, under the
// lock, every shared file is written to a temporary name, and only when all
// are complete are the song's folder, its record and the shared files renamed
// into place. Before the first rename the list of renames is written to
// TEST/.commit; it is removed after the last. A run killed or failing in
// between leaves that list, and the next run into the folder finishes the
// renames before it does anything else, so the folder is always either as it
// was or as the change made it. A staging folder holds a lock of its own run
// (.owner); a later run removes the staging folders whose run has ended.
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
constexpr const char* KEY_HISTORY_FILE = "key-history.csv";
constexpr const char* COMMIT_FILE = ".commit";

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
  // The folder refuses the change: its own files are not a test folder's, or
  // it holds the song already and no replacement was asked for.
  not_allowed,
};

// The song's name is the folder under stimuli/ and the record's file name:
// well-formed UTF-8, not empty, not starting with "." (the folder's own
// temporary names do), without "/", "\" or characters that Windows refuses in
// file names, and short enough for every file named after it (at most
// MAX_SONG_NAME_BYTES).
constexpr std::size_t MAX_SONG_NAME_BYTES = 245;  // ".<song>.json.tmp" within 255 bytes
std::optional<std::string> song_name_problem(const std::string& name);

// Makes TEST when missing and marks it as a test folder (folder.json, with a
// new id); a folder of the old layout is converted (folder_layout.h). An
// existing folder that is neither empty nor a test folder is refused, so that
// a mistyped -o never scatters files into a folder of other things, and so
// is one whose folder.json is not ours. Under the lock, a change that an
// ended run left half made is finished, and what ended runs left behind
// (staging folders, temporary files) is removed. on_wait is called when
// another run holds the folder's lock.
folder_status open_test_folder(const std::string& test, const lock_wait& on_wait, folder_problem& problem);

// After a failed run that made TEST: removes it again while it holds no song
// (only folder.json and the lock), so that the failure leaves nothing behind.
void forget_new_test_folder(const std::string& test);

// A new, empty staging folder inside TEST for one song (but for its .owner),
// marked as this run's by a lock that `owner` holds until unlock_file.
folder_status make_staging(const std::string& test, const std::string& song, std::string& staging,
                           intptr_t& owner, folder_problem& problem);

struct serving_choices {
  std::optional<excerpt_seconds> excerpt;
  std::optional<int> fade_ms;  // default: DEFAULT_EXCERPT_FADE_MS with an excerpt, else DEFAULT_WHOLE_FADE_MS
  naming names = naming::blind;
  uint64_t seed = 0;
};

// How a prepared song is served: the excerpt and fades alike for every
// stimulus, and each stimulus's served name, filled into its record (served
// frames, names, seed); `warning` is set for stimuli beyond webMUSHRA's strict
// limit. Refused when the excerpt lies beyond the common length or the fades
// do not fit in it. The stimulus writer then writes each served file once,
// cut and faded.
folder_status plan_serving(const serving_choices& choices, song_entry& record, std::string& warning,
                           folder_problem& problem);

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

// Adds the song, or with `replace` replaces it, under the folder's lock, and
// writes every shared file again; a replaced song's rows of key.csv are added
// to key-history.csv. on_wait is called when another run holds the lock.
// `replaced` tells whether the song was there before. `pending` is set when a
// rename failed after the change was recorded in TEST/.commit: the staging
// folder must then stay for the next run, which finishes the change.
folder_status commit_song(const std::string& test, const song_change& change, bool replace,
                          const lock_wait& on_wait, bool& replaced, bool& pending, folder_problem& problem);
