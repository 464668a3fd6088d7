#include "listening_folder.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "beaqlejs_config.h"
#include "folder_layout.h"
#include "folder_lock.h"
#include "folder_summary.h"
#include "listen_page.h"
#include "platform.h"
#include "sha256.h"
#include "utf8_paths.h"

namespace fs = std::filesystem;

namespace {

std::string join(const std::string& folder, const std::string& name) { return folder + "/" + name; }

bool exists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(path_of(path), ignored);
}

bool read_text(const std::string& path, std::string& text) {
  errno = 0;
  std::ifstream in(path_of(path), std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return !in.bad();
}

bool write_text(const std::string& path, const std::string& text) {
  errno = 0;
  std::ofstream out(path_of(path), std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out && errno == 0) errno = EIO;
  return static_cast<bool>(out);
}

folder_status failed(folder_problem& problem, const std::string& path, const std::string& message,
                     int error) {
  problem = {path, message, error};
  return folder_status::failed;
}

folder_status refused(folder_problem& problem, const std::string& path, const std::string& message) {
  problem = {path, message, 0};
  return folder_status::refused;
}

folder_status not_allowed(folder_problem& problem, const std::string& path, const std::string& message) {
  problem = {path, message, 0};
  return folder_status::not_allowed;
}

constexpr const char* STAGING_PREFIX = ".new-";
constexpr const char* OLD_PREFIX = ".old-";
constexpr const char* OWNER_FILE = ".owner";

bool starts_with(const std::string& text, const char* lead) { return text.rfind(lead, 0) == 0; }

std::string leaf_of(const fs::path& path) {
  const std::u8string leaf = path.filename().u8string();
  return std::string(leaf.begin(), leaf.end());
}

// One step of a recorded change. A folder moves only while its place is free,
// so that replaying the list after any step moves nothing twice; a file
// replaces its old version, and is gone from its temporary name once moved.
struct rename_step {
  std::string from;  // relative to TEST
  std::string to;
  bool folder = false;
};

struct recorded_change {
  std::vector<rename_step> steps;
  std::vector<std::string> old_folders;  // removed at the end
};

std::string change_json(const recorded_change& change) {
  nlohmann::json steps = nlohmann::json::array();
  for (const rename_step& step : change.steps)
    steps.push_back({{"from", step.from}, {"to", step.to}, {"folder", step.folder}});
  const nlohmann::json all = {{"renames", steps}, {"remove", change.old_folders}};
  return all.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool parse_change(const std::string& text, recorded_change& change) {
  try {
    const nlohmann::json all = nlohmann::json::parse(text);
    for (const nlohmann::json& step : all.at("renames"))
      change.steps.push_back({step.at("from").get<std::string>(), step.at("to").get<std::string>(),
                              step.at("folder").get<bool>()});
    change.old_folders = all.at("remove").get<std::vector<std::string>>();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

// Makes every step of the change that is not made yet, removes the record
// and then the old folder. Returns false with the step's destination and the
// reason when a rename fails; the record then stays.
bool finish_change(const std::string& test, const recorded_change& change, folder_problem& problem) {
  for (const rename_step& step : change.steps) {
    const fs::path from = path_of(join(test, step.from));
    const fs::path to = path_of(join(test, step.to));
    std::error_code error;
    const bool due = fs::exists(from, error) && !(step.folder && fs::exists(to, error));
    if (!due) continue;
    fs::rename(from, to, error);
    if (error) {
      problem = {join(test, step.to), "cannot put in place", error.value()};
      return false;
    }
  }
  std::error_code error;
  fs::remove(path_of(join(test, COMMIT_FILE)), error);
  if (error) {
    problem = {join(test, COMMIT_FILE), "cannot remove the record of the change", error.value()};
    return false;
  }
  for (const std::string& old : change.old_folders) fs::remove_all(path_of(join(test, old)), error);
  return true;
}

// Under the lock: a change that an ended run recorded and left unfinished.
folder_status finish_recorded_change(const std::string& test, folder_problem& problem) {
  const std::string record = join(test, COMMIT_FILE);
  std::string text;
  if (!exists(record)) return folder_status::ok;
  recorded_change change;
  if (!read_text(record, text)) return failed(problem, record, "cannot read", errno);
  if (!parse_change(text, change)) {
    return not_allowed(problem, record,
                       "not the record of a change by abchr-prepare; remove it, then add the song that was "
                       "being added again");
  }
  if (!finish_change(test, change, problem)) {
    problem.message += " (finishing a change that an earlier run left)";
    return folder_status::failed;
  }
  return folder_status::ok;
}

// Under the lock, with no change left unfinished: what runs that have ended
// left behind. A staging folder whose .owner nobody holds locked, an old
// song folder, and a temporary file of a change that never began.
void remove_leftovers(const std::string& test) {
  std::error_code error;
  std::vector<fs::path> gone;
  for (const fs::directory_entry& entry : fs::directory_iterator(path_of(test), error)) {
    const std::string leaf = leaf_of(entry.path());
    if (starts_with(leaf, STAGING_PREFIX)) {
      intptr_t handle = 0;
      int reason = 0;
      if (!lock_file(join(text_of(entry.path()), OWNER_FILE), false, handle, reason)) continue;
      unlock_file(handle);
      gone.push_back(entry.path());
    } else if (starts_with(leaf, OLD_PREFIX)) {
      gone.push_back(entry.path());
    }
  }
  const auto temporaries = [&](const fs::path& folder) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
      const std::string leaf = leaf_of(entry.path());
      if (entry.is_regular_file(error) && leaf.size() > 5 && leaf.front() == '.' &&
          leaf.compare(leaf.size() - 4, 4, ".tmp") == 0)
        gone.push_back(entry.path());
    }
  };
  temporaries(path_of(test));
  const fs::path songs = path_of(join(test, SONGS_FOLDER));
  if (fs::is_directory(songs, error)) {
    temporaries(songs);
    for (const fs::directory_entry& entry : fs::directory_iterator(songs, error)) {
      if (entry.is_directory(error)) temporaries(entry.path());
    }
  }
  for (const fs::path& path : gone) fs::remove_all(path, error);
}

// The time of a replacement, for the key's history: "2026-12-09T04:41:07Z".
std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &now);
#else
  gmtime_r(&now, &parts);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// CSV records (each ended by a CR LF that no quoted cell holds) with `before`
// put at the start of each and `after` at its end.
std::string each_row(const std::string& rows, const std::string& before, const std::string& after) {
  std::string out;
  bool quoted = false;
  bool row_start = true;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (row_start) out += before;
    row_start = false;
    const char c = rows[i];
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '\r' && i + 1 < rows.size() && rows[i + 1] == '\n') out += after;
    out += c;
    if (!quoted && c == '\n' && i > 0 && rows[i - 1] == '\r') row_start = true;
  }
  return out;
}

// key-history.csv with the song's rows of key.csv as they stood, each after
// the time it was replaced.
// The song's files are still those of the rows: their hashes are taken
// before the new files move in.
std::string key_history(const std::string& test, const folder_contents& before, const song_entry& old) {
  folder_contents alone{before.title, before.settings, {old}};
  folder_contents none{before.title, before.settings, {}};
  served_hashes hashes;
  std::vector<std::string> names = {REFERENCE_NAME};
  for (const stimulus_entry& s : old.stimuli) names.push_back(s.name);
  for (const std::string& name : names) {
    std::string hex;
    int error = 0;
    if (sha256_file_hex(join(test, std::string(PUBLIC_FOLDER) + "/" + served_path(old.name, name)), hex,
                        error))
      hashes[old.name][name] = hex;
  }
  const std::string header = "replaced," + key_csv(none, {});
  const std::string rows = key_csv(alone, hashes).substr(header.size() - std::string("replaced,").size());
  std::string history;
  if (!read_text(join(test, KEY_HISTORY_FILE), history) || history.empty()) history = header;
  // A history that an older abchr-prepare began has the first of today's
  // columns only: its rows get empty cells for the others, so that every row
  // has the header's fields.
  const std::size_t end = history.find("\r\n");
  const std::string first = end == std::string::npos ? "" : history.substr(0, end);
  if (!first.empty() && header.compare(0, first.size() + 1, first + ",") == 0) {
    const auto fields = [](const std::string& line) { return std::count(line.begin(), line.end(), ','); };
    const std::string empty_cells(static_cast<std::size_t>(fields(header) - fields(first)), ',');
    history = header + each_row(history.substr(end + 2), "", empty_cells);
  }
  return history + each_row(rows, utc_now() + ",", "");
}

std::string folder_title(const std::string& test) {
  std::error_code ignored;
  fs::path whole = fs::absolute(path_of(test), ignored).lexically_normal();
  if (whole.filename().empty()) whole = whole.parent_path();
  const std::u8string name = whole.filename().u8string();
  return std::string(name.begin(), name.end());
}

// A name inside TEST that no other run takes: creating a folder is atomic.
bool make_unique_folder(const std::string& test, const std::string& prefix, std::string& made) {
  for (int n = 1; n < 100000; ++n) {
    made = join(test, prefix + std::to_string(n));
    std::error_code error;
    if (fs::create_directory(path_of(made), error)) return true;
    if (error) {
      errno = error.value();
      return false;
    }
  }
  errno = EEXIST;
  return false;
}

// One file to put in place at the end of a change: written first under a
// temporary name beside its final one.
struct staged_file {
  std::string temporary;
  std::string final;
};

}  // namespace

std::optional<std::string> song_name_problem(const std::string& name) {
  if (name.empty()) return "the song's name is empty";
  if (name.front() == '.') return "a song's name may not start with \".\"";
  if (name.size() > MAX_SONG_NAME_BYTES)
    return "the song's name is " + std::to_string(name.size()) + " bytes long, longer than the " +
           std::to_string(MAX_SONG_NAME_BYTES) + " that its files' names leave room for";
  if (displayable(name) != name) return "the song's name is not UTF-8 text";
  for (const char c : name) {
    if (c == '/' || c == '\\') return "a song's name may not hold \"/\" or \"\\\"";
    if (static_cast<unsigned char>(c) < 0x20) return "a song's name may not hold control characters";
  }
  return std::nullopt;
}

folder_status open_test_folder(const std::string& test, const lock_wait& on_wait, folder_problem& problem) {
  std::error_code error;
  const fs::path where = path_of(test);
  if (!fs::exists(where, error)) {
    fs::create_directories(where, error);
    if (error) return failed(problem, test, "cannot make the test folder", error.value());
  } else if (!fs::is_directory(where, error)) {
    return refused(problem, test, "not a folder; give -o a folder for the test (it is made when missing)");
  }
  // Looked at before the lock, whose file would be one more thing in a
  // folder of other things, and again under it.
  const auto foreign = [&] {
    if (exists(join(test, SETTINGS_FILE))) {
      // Another program's folder.json does not make this folder ours.
      std::string text;
      folder_settings settings;
      return read_text(join(test, SETTINGS_FILE), text) && !parse_folder_settings(text, settings);
    }
    // The lock, and the settings that another run is writing under it.
    const std::string settings_being_written = std::string(SETTINGS_FILE) + ".tmp";
    for (const fs::directory_entry& entry : fs::directory_iterator(where, error)) {
      const fs::path leaf = entry.path().filename();
      if (leaf != LOCK_FILE && leaf != settings_being_written) return true;
    }
    return false;
  };
  const std::string not_ours =
      "this folder holds other files and is not a test folder of abchr-prepare; give -o a new or empty "
      "folder";
  if (foreign()) return refused(problem, test, not_ours);
  folder_lock lock;
  if (!lock.acquire(test, on_wait)) {
    return failed(problem, join(test, LOCK_FILE), "cannot lock the test folder", errno);
  }
  if (foreign()) return refused(problem, test, not_ours);
  if (error) return failed(problem, test, "cannot list the folder", error.value());
  if (const folder_status finished = finish_recorded_change(test, problem); finished != folder_status::ok)
    return finished;
  remove_leftovers(test);
  if (exists(join(test, SETTINGS_FILE))) return convert_old_layout(test, problem);
  const std::string settings = join(test, SETTINGS_FILE);
  folder_settings fresh;
  fresh.id = new_folder_id();
  if (!write_text(settings + ".tmp", folder_settings_json(fresh))) {
    return failed(problem, settings, "cannot write", errno);
  }
  fs::rename(path_of(settings + ".tmp"), path_of(settings), error);
  if (error) return failed(problem, settings, "cannot write", error.value());
  return folder_status::ok;
}

void forget_new_test_folder(const std::string& test) {
  folder_lock lock;
  if (!lock.acquire(test, {})) return;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(path_of(test), error)) {
    if (entry.path().filename() != LOCK_FILE && entry.path().filename() != SETTINGS_FILE) return;
  }
  if (error) return;
  fs::remove(path_of(join(test, SETTINGS_FILE)), error);
  fs::remove(path_of(join(test, LOCK_FILE)), error);
  lock.release();
  fs::remove(path_of(test), error);
}

folder_status make_staging(const std::string& test, const std::string& song, std::string& staging,
                           intptr_t& owner, folder_problem& problem) {
  // Under the folder's lock, so that no other run takes the new folder for
  // one whose run has ended before its .owner is locked.
  folder_lock lock;
  if (!lock.acquire(test, {}))
    return failed(problem, join(test, LOCK_FILE), "cannot lock the test folder", errno);
  if (!make_unique_folder(test, STAGING_PREFIX + identifier(song) + "-", staging)) {
    return failed(problem, test, "cannot make a folder for the new song", errno);
  }
  int error = 0;
  if (!lock_file(join(staging, OWNER_FILE), false, owner, error)) {
    std::error_code ignored;
    fs::remove_all(path_of(staging), ignored);
    return failed(problem, staging, "cannot mark the folder for the new song as this run's", error);
  }
  return folder_status::ok;
}

folder_status plan_serving(const serving_choices& choices, song_entry& record, std::string& warning,
                           folder_problem& problem) {
  const int fade_ms =
      choices.fade_ms.value_or(choices.excerpt ? DEFAULT_EXCERPT_FADE_MS : DEFAULT_WHOLE_FADE_MS);
  excerpt_frames plan;
  switch (plan_excerpt(choices.excerpt, fade_ms, record.rate, record.common_frames, plan)) {
    case excerpt_status::beyond_length:
      return refused(problem, record.reference.input,
                     "the excerpt reaches beyond the song's aligned length of " +
                         std::to_string(record.common_frames) + " frames (" +
                         std::to_string(record.common_frames / record.rate) +
                         " s); give --excerpt START,LENGTH within it");
    case excerpt_status::fade_too_long:
      return refused(problem, record.reference.input,
                     "fades of " + std::to_string(fade_ms) +
                         " ms do not fit twice into the served length; give a "
                         "shorter --fade or a longer excerpt");
    case excerpt_status::ok:
      break;
  }
  std::vector<std::string> codecs;
  for (const stimulus_entry& s : record.stimuli) codecs.push_back(s.codec);
  const std::vector<std::string> names = stimulus_names(codecs, choices.names, choices.seed, record.name);
  for (std::size_t i = 0; i < names.size(); ++i) record.stimuli[i].name = names[i];
  record.reference.name = REFERENCE_NAME;
  record.served = plan;
  record.names = choices.names;
  record.seed = choices.seed;
  warning.clear();
  if (beyond_strict_limit(record)) {
    warning = "the stimuli last " + std::to_string(plan.frames / record.rate) +
              " s, beyond webMUSHRA's strict limit of " + std::to_string(STRICT_SECONDS) +
              " s: its pages for this song say strict: false" +
              (choices.excerpt ? "" : "; cut an excerpt with --excerpt START,LENGTH");
  }
  return folder_status::ok;
}

folder_status read_test_folder(const std::string& test, folder_contents& contents, folder_problem& problem) {
  contents = {};
  contents.title = folder_title(test);
  std::string text;
  const std::string settings = join(test, SETTINGS_FILE);
  if (read_text(settings, text) && !parse_folder_settings(text, contents.settings)) {
    return not_allowed(problem, settings,
                       "not the settings of a test folder; remove it to start with the defaults");
  }
  const std::string songs = join(test, SONGS_FOLDER);
  std::error_code error;
  if (!fs::exists(path_of(songs), error)) return folder_status::ok;
  for (const fs::directory_entry& entry : fs::directory_iterator(path_of(songs), error)) {
    const std::u8string file = entry.path().filename().u8string();
    const std::string name(file.begin(), file.end());
    if (name.front() == '.' || entry.path().extension() != ".json") continue;
    const std::string path = join(songs, name);
    song_entry song;
    if (!read_text(path, text)) return failed(problem, path, "cannot read", errno);
    if (!parse_song_record(text, song) || song.name + ".json" != name) {
      return not_allowed(problem, path,
                         "not a song record of abchr-prepare; add that song again or remove the file");
    }
    contents.songs.push_back(song);
  }
  if (error) return failed(problem, songs, "cannot list the folder", error.value());
  std::sort(contents.songs.begin(), contents.songs.end(),
            [](const song_entry& a, const song_entry& b) { return a.name < b.name; });
  return folder_status::ok;
}

folder_status check_pages(const folder_contents& contents, const std::string& test,
                          const std::string& new_song, const std::string& new_song_folder,
                          folder_problem& problem) {
  for (const song_entry& song : contents.songs) {
    const std::string folder = song.name == new_song
                                   ? new_song_folder
                                   : join(join(join(test, PUBLIC_FOLDER), STIMULI_FOLDER), song.name);
    std::vector<wav16_info> files;
    for (std::size_t i = 0; i <= song.stimuli.size(); ++i) {
      const std::string path =
          join(folder, (i == 0 ? std::string(REFERENCE_NAME) : song.stimuli[i - 1].name) + ".wav");
      wav16_info info;
      if (!read_wav16_info(path, info)) {
        return refused(
            problem, path,
            "a served file of song " + song.name + " is missing or unreadable; add that song again");
      }
      files.push_back(info);
    }
    if (const auto breach = check_song_pages(song, files, contents.settings.mushra_pages)) {
      return refused(problem, song.name,
                     "webMUSHRA would refuse this song: " + breach->rule + "; " + breach->fix);
    }
  }
  return folder_status::ok;
}

folder_status commit_song(const std::string& test, const song_change& change, bool replace,
                          const lock_wait& on_wait, bool& replaced, bool& pending, folder_problem& problem) {
  pending = false;
  folder_lock lock;
  if (!lock.acquire(test, on_wait))
    return failed(problem, join(test, LOCK_FILE), "cannot lock the test folder", errno);
  if (const folder_status finished = finish_recorded_change(test, problem); finished != folder_status::ok)
    return finished;
  folder_contents contents;
  folder_status status = read_test_folder(test, contents, problem);
  if (status != folder_status::ok) return status;
  if (change.mushra_pages) contents.settings.mushra_pages = *change.mushra_pages;
  if (change.path_prefix) contents.settings.path_prefix = *change.path_prefix;
  if (change.results_url) contents.settings.results_url = *change.results_url;
  if (change.abx_trials) contents.settings.abx_trials = *change.abx_trials;
  const std::string& song = change.record.name;
  const auto same = std::find_if(contents.songs.begin(), contents.songs.end(),
                                 [&](const song_entry& s) { return s.name == song; });
  // Looked at again here: another run may have added the song meanwhile.
  const std::string place = join(join(join(test, PUBLIC_FOLDER), STIMULI_FOLDER), song);
  replaced = same != contents.songs.end() || exists(place);
  if (replaced && !replace)
    return not_allowed(problem, test, "holds the song " + song + " already; pass --force to replace it");
  std::optional<std::string> history;
  if (same != contents.songs.end()) {
    history = key_history(test, contents, *same);
    contents.songs.erase(same);
  }
  contents.songs.insert(
      std::upper_bound(contents.songs.begin(), contents.songs.end(), change.record,
                       [](const song_entry& a, const song_entry& b) { return a.name < b.name; }),
      change.record);
  status = check_pages(contents, test, song, change.served_folder, problem);
  if (status != folder_status::ok) return status;

  std::error_code error;
  const std::string songs = join(test, SONGS_FOLDER);
  const std::string served = join(test, PUBLIC_FOLDER);
  const std::string stimuli = join(served, STIMULI_FOLDER);
  fs::create_directory(path_of(songs), error);
  if (!error) fs::create_directory(path_of(served), error);
  if (!error) fs::create_directory(path_of(stimuli), error);
  if (error) return failed(problem, test, "cannot make the folders of the test", error.value());
  struct shared_text {
    std::string folder;  // relative to TEST: "" or "songs" or "songs/<song>"
    std::string name;
    std::string text;
  };
  std::vector<shared_text> texts = {{SONGS_FOLDER, song + ".json", song_record_json(change.record)},
                                    {"", SETTINGS_FILE, folder_settings_json(contents.settings)},
                                    {"", KEY_FILE, ""},
                                    {"", REPORT_TEXT_FILE, summary_text(contents)},
                                    {"", REPORT_JSON_FILE, summary_json(contents)},
                                    {PUBLIC_FOLDER, WEBMUSHRA_FILE, webmushra_yaml(contents)},
                                    {PUBLIC_FOLDER, BEAQLEJS_FILE, beaqlejs_config(contents)}};
  if (history) texts.push_back({"", KEY_HISTORY_FILE, *history});
  const std::string own_folder = std::string(SONGS_FOLDER) + "/" + song;
  const std::string own = join(test, own_folder);
  bool made_own = false;
  if (!change.private_files.empty()) {
    made_own = fs::create_directory(path_of(own), error);
    if (error) return failed(problem, own, "cannot make the song's folder", error.value());
    for (const auto& [name, text] : change.private_files) texts.push_back({own_folder, name, text});
  }
  const auto within = [](const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
  };
  recorded_change plan;
  std::string listen_new;
  const auto drop_staged = [&] {
    for (const rename_step& step : plan.steps) {
      if (!step.folder) fs::remove(path_of(join(test, step.from)), error);
    }
    if (made_own) fs::remove(path_of(own), error);
    if (!listen_new.empty()) fs::remove_all(path_of(listen_new), error);
  };
  // The listening page, made whole in a staging folder of its own (outside
  // public/, so that nothing half-made is ever served) and renamed in with
  // the rest.
  if (!make_unique_folder(test, ".new-listen-", listen_new)) {
    const int reason = errno;
    listen_new.clear();
    drop_staged();
    return failed(problem, test, "cannot make a folder for the listening page", reason);
  }
  // It reads every served file, and hashes them for the key.
  served_hashes hashes;
  status = write_listen_page(contents, {contents.settings.id}, stimuli, song, change.served_folder,
                             listen_new, hashes, problem);
  if (status != folder_status::ok) {
    drop_staged();
    return status;
  }

  for (shared_text& t : texts) {
    if (t.folder.empty() && t.name == KEY_FILE) t.text = key_csv(contents, hashes);
  }
  // The lock makes these temporary names this run's own.
  for (const shared_text& t : texts) {
    const rename_step step{within(t.folder, "." + t.name + ".tmp"), within(t.folder, t.name), false};
    plan.steps.push_back(step);
    if (!write_text(join(test, step.from), t.text)) {
      const int reason = errno;
      drop_staged();
      return failed(problem, join(test, step.to), "cannot write", reason);
    }
  }

  // The song's folder moves first: the old one aside, the new one in.
  std::vector<rename_step> folders;
  const std::string relative_place = std::string(PUBLIC_FOLDER) + "/" + STIMULI_FOLDER + "/" + song;
  if (exists(place)) {
    std::string old;
    if (!make_unique_folder(test, OLD_PREFIX + identifier(song) + "-", old)) {
      const int reason = errno;
      drop_staged();
      return failed(problem, test, "cannot make room for the song's new files", reason);
    }
    fs::remove(path_of(old), error);
    plan.old_folders.push_back(leaf_of(path_of(old)));
    folders.push_back({relative_place, plan.old_folders.back(), true});
  }
  // The staging folder lies inside TEST (make_staging).
  const std::string inside = test + "/";
  if (change.served_folder.rfind(inside, 0) != 0) {
    drop_staged();
    return failed(problem, change.served_folder, "the new song's files lie outside the test folder", EINVAL);
  }
  folders.push_back({change.served_folder.substr(inside.size()), relative_place, true});
  // Then the listening page: the old one aside, the new one in.
  const std::string relative_listen = std::string(PUBLIC_FOLDER) + "/" + LISTEN_FOLDER;
  if (exists(join(test, relative_listen))) {
    std::string old_listen;
    if (!make_unique_folder(test, std::string(OLD_PREFIX) + "listen-", old_listen)) {
      const int reason = errno;
      drop_staged();
      return failed(problem, join(test, relative_listen), "cannot replace", reason);
    }
    fs::remove(path_of(old_listen), error);
    plan.old_folders.push_back(leaf_of(path_of(old_listen)));
    folders.push_back({relative_listen, plan.old_folders.back(), true});
  }
  folders.push_back({leaf_of(path_of(listen_new)), relative_listen, true});
  plan.steps.insert(plan.steps.begin(), folders.begin(), folders.end());

  // Everything is written and the renames recorded; from the record's rename
  // on, the change is made, now or by the next run.
  const std::string record = join(test, COMMIT_FILE);
  const std::string record_written = join(test, std::string(COMMIT_FILE) + ".tmp");
  if (!write_text(record_written, change_json(plan))) {
    const int reason = errno;
    fs::remove(path_of(record_written), error);
    drop_staged();
    return failed(problem, record, "cannot write", reason);
  }
  fs::rename(path_of(record_written), path_of(record), error);
  if (error) {
    const int reason = error.value();
    fs::remove(path_of(record_written), error);
    drop_staged();
    return failed(problem, record, "cannot write", reason);
  }
  if (!finish_change(test, plan, problem)) {
    pending = true;
    problem.message += "; the change is recorded in " + record +
                       ", and the next abchr-prepare run into this folder completes it";
    return folder_status::failed;
  }
  return folder_status::ok;
}
