#include "listening_folder.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "beaqlejs_config.h"
#include "folder_layout.h"
#include "folder_lock.h"
#include "folder_summary.h"
#include "listen_page.h"
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
    if (exists(join(test, SETTINGS_FILE))) return false;
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
                           folder_problem& problem) {
  if (!make_unique_folder(test, ".new-" + identifier(song) + "-", staging)) {
    return failed(problem, test, "cannot make a folder for the new song", errno);
  }
  return folder_status::ok;
}

folder_status serve_song(const prepared_song& prepared, const serving_choices& choices,
                         const std::string& served_folder, song_entry& record, folder_problem& problem,
                         const std::function<void(const std::string&)>& on_file) {
  record = prepared.record;
  const int fade_ms = choices.fade_ms.value_or(choices.excerpt ? DEFAULT_EXCERPT_FADE_MS : 0);
  excerpt_frames plan;
  switch (plan_excerpt(choices.excerpt, fade_ms, record.rate, record.common_frames, plan)) {
    case excerpt_status::beyond_length:
      return refused(problem, record.original,
                     "the excerpt reaches beyond the song's aligned length of " +
                         std::to_string(record.common_frames) + " frames (" +
                         std::to_string(record.common_frames / record.rate) +
                         " s); give --excerpt START,LENGTH within it");
    case excerpt_status::fade_too_long:
      return refused(problem, record.original,
                     "fades of " + std::to_string(fade_ms) +
                         " ms do not fit twice into the served length; give a "
                         "shorter --fade or a longer excerpt");
    case excerpt_status::ok:
      break;
  }
  std::vector<std::string> codecs;
  for (const stimulus_entry& s : record.stimuli) codecs.push_back(s.codec);
  const std::vector<std::string> names = stimulus_names(codecs, choices.names, choices.seed, record.name);
  const bool whole = plan.start == 0 && plan.frames == record.common_frames && plan.fade == 0;
  for (std::size_t i = 0; i <= record.stimuli.size(); ++i) {
    const std::string& wav = i == 0 ? prepared.reference_wav : prepared.stimulus_wavs[i - 1];
    const std::string from = join(prepared.folder, wav);
    const std::string to =
        join(served_folder, (i == 0 ? std::string(REFERENCE_NAME) : names[i - 1]) + ".wav");
    if (on_file) on_file(to);
    wav16_info info;
    if (!read_wav16_info(from, info)) return failed(problem, from, "cannot read this stimulus", errno);
    if (info.rate != record.rate || info.channels != record.channels || info.frames != record.common_frames) {
      return failed(problem, from, "this stimulus is not of the song's rate, channels and length", 0);
    }
    if (whole) {
      std::error_code error;
      fs::rename(path_of(from), path_of(to), error);
      if (error) return failed(problem, to, "cannot write", error.value());
      continue;
    }
    std::vector<int16_t> samples;
    if (!read_wav16_frames(from, info, plan.start, plan.frames, samples)) {
      return failed(problem, from, "cannot read this stimulus", errno);
    }
    apply_fades(samples, info.channels, plan.fade);
    if (!write_wav16(to, info.rate, info.channels, samples))
      return failed(problem, to, "cannot write", errno);
  }
  for (std::size_t i = 0; i < names.size(); ++i) record.stimuli[i].name = names[i];
  record.served = plan;
  record.names = choices.names;
  record.seed = choices.seed;
  if (beyond_strict_limit(record)) {
    record.warnings.push_back("the stimuli last " + std::to_string(plan.frames / record.rate) +
                              " s, beyond webMUSHRA's strict limit of " + std::to_string(STRICT_SECONDS) +
                              " s: its pages for this song say strict: false" +
                              (choices.excerpt ? "" : "; cut an excerpt with --excerpt START,LENGTH"));
  }
  return folder_status::ok;
}

folder_status read_test_folder(const std::string& test, folder_contents& contents, folder_problem& problem) {
  contents = {};
  contents.title = folder_title(test);
  std::string text;
  const std::string settings = join(test, SETTINGS_FILE);
  if (read_text(settings, text) && !parse_folder_settings(text, contents.settings)) {
    return refused(problem, settings,
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
      return refused(problem, path,
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

folder_status commit_song(const std::string& test, const song_change& change, const lock_wait& on_wait,
                          bool& replaced, folder_problem& problem) {
  folder_lock lock;
  if (!lock.acquire(test, on_wait))
    return failed(problem, join(test, LOCK_FILE), "cannot lock the test folder", errno);
  lock.hold_signals();
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
  if (same != contents.songs.end()) contents.songs.erase(same);
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
    std::string folder;
    std::string name;
    std::string text;
  };
  std::vector<shared_text> texts = {{songs, song + ".json", song_record_json(change.record)},
                                    {test, SETTINGS_FILE, folder_settings_json(contents.settings)},
                                    {test, KEY_FILE, key_csv(contents)},
                                    {test, REPORT_TEXT_FILE, summary_text(contents)},
                                    {test, REPORT_JSON_FILE, summary_json(contents)},
                                    {served, WEBMUSHRA_FILE, webmushra_yaml(contents)},
                                    {served, BEAQLEJS_FILE, beaqlejs_config(contents)}};
  const std::string own = join(songs, song);
  bool made_own = false;
  if (!change.private_files.empty()) {
    made_own = fs::create_directory(path_of(own), error);
    if (error) return failed(problem, own, "cannot make the song's folder", error.value());
    for (const auto& [name, text] : change.private_files) texts.push_back({own, name, text});
  }
  std::vector<staged_file> staged;
  std::string listen_new;
  const auto drop_staged = [&] {
    for (const staged_file& f : staged) fs::remove(path_of(f.temporary), error);
    if (made_own) fs::remove(path_of(own), error);
    if (!listen_new.empty()) fs::remove_all(path_of(listen_new), error);
  };
  // The lock makes these temporary names this run's own.
  for (const shared_text& t : texts) {
    std::string hidden = ".";
    hidden += t.name;
    hidden += ".tmp";
    staged.push_back({join(t.folder, hidden), join(t.folder, t.name)});
    if (!write_text(staged.back().temporary, t.text)) {
      const int reason = errno;
      drop_staged();
      return failed(problem, staged.back().final, "cannot write", reason);
    }
  }

  // The listening page, made whole in a staging folder of its own (outside
  // public/, so that nothing half-made is ever served) and renamed in with
  // the rest.
  if (!make_unique_folder(test, ".new-listen-", listen_new)) {
    const int reason = errno;
    listen_new.clear();
    drop_staged();
    return failed(problem, test, "cannot make a folder for the listening page", reason);
  }
  status = write_listen_page(contents, {contents.settings.id}, stimuli, song, change.served_folder,
                             listen_new, problem);
  if (status != folder_status::ok) {
    drop_staged();
    return status;
  }

  // Everything is written: now the renames, which change the folder at once.
  const std::string place = join(stimuli, song);
  std::string old;
  replaced = exists(place);
  if (replaced) {
    if (!make_unique_folder(test, ".old-" + identifier(song) + "-", old)) {
      const int reason = errno;
      drop_staged();
      return failed(problem, test, "cannot make room for the song's new files", reason);
    }
    fs::remove(path_of(old), error);
    fs::rename(path_of(place), path_of(old), error);
    if (error) {
      drop_staged();
      return failed(problem, place, "cannot move the song's old files aside", error.value());
    }
  }
  fs::rename(path_of(change.served_folder), path_of(place), error);
  if (error) {
    const int reason = error.value();
    if (replaced) fs::rename(path_of(old), path_of(place), error);
    drop_staged();
    return failed(problem, place, "cannot move the song's files in", reason);
  }
  for (const staged_file& f : staged) {
    fs::rename(path_of(f.temporary), path_of(f.final), error);
    if (error) return failed(problem, f.final, "cannot replace", error.value());
  }
  const std::string listen = join(served, LISTEN_FOLDER);
  std::string old_listen;
  if (exists(listen)) {
    if (!make_unique_folder(test, ".old-listen-", old_listen))
      return failed(problem, listen, "cannot replace", errno);
    fs::remove(path_of(old_listen), error);
    fs::rename(path_of(listen), path_of(old_listen), error);
    if (error) return failed(problem, listen, "cannot replace", error.value());
  }
  fs::rename(path_of(listen_new), path_of(listen), error);
  if (error) return failed(problem, listen, "cannot replace", error.value());
  if (!old_listen.empty()) fs::remove_all(path_of(old_listen), error);
  if (replaced) fs::remove_all(path_of(old), error);
  return folder_status::ok;
}
