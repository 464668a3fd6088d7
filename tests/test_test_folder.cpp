// Test folders on disk: songs added and replaced, the served excerpts, the
// refusals and failures that must leave a folder as it was, and the lock.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include "anchor_filter.h"
#include "folder_lock.h"
#include "listen_page.h"
#include "platform.h"
#include "test_folder_songs.h"
#include "utf8_paths.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path_of(path), std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> hidden_words(const std::vector<test_song>& songs) {
  std::vector<std::string> words;
  for (const test_song& t : songs) {
    for (const stimulus_entry& s : test_song_record(t).stimuli) {
      words.push_back(s.codec);
      words.push_back(std::filesystem::path(s.input).filename().string());
    }
  }
  return words;
}

#ifdef _WIN32
const char* const ODD_NAME = "Beyonc\xC3\xA9 #1 'live' & more";
#else
const char* const ODD_NAME = "Beyonc\xC3\xA9: \"live\" #1";
#endif

}  // namespace

TEST(test_folder, songs_added_one_after_another_then_one_replaced) {
  temp_dir dir;
  const std::string test = dir.file("listening");
  const test_song first{"first", {"mp3", "aac", "opus", "vorbis", "wma"}};
  const test_song odd{ODD_NAME, {"mp3", "aac"}};
  const test_song third{"third", {"opus"}, 8000, 8000 * 13};
  serving_choices choices;
  choices.seed = 7;  // which gives song "first" an order other than the command line's
  for (const test_song& t : {first, odd, third}) {
    const added a = add_song(test, t, choices, true);
    ASSERT_EQ(a.status, folder_status::ok) << a.problem.path << ": " << a.problem.message;
    EXPECT_FALSE(a.replaced);
  }
  // A history begun before key.csv had its hashes and page ids.
  const std::string old_row = "2026-01-01T00:00:00Z,third,S1,stimuli/third/S1.wav,third.opus,opus,\r\n";
  std::ofstream(test + "/" + KEY_HISTORY_FILE, std::ios::binary)
      << "replaced,song,name,file,input,codec,bitrate\r\n"
      << old_row;
  const test_song again{"first", {"flac", "mp3", "aac", "opus"}};
  const added a = add_song(test, again, choices);
  ASSERT_EQ(a.status, folder_status::ok) << a.problem.message;
  EXPECT_TRUE(a.replaced);
  const std::string history = read_all(test + "/" + KEY_HISTORY_FILE);
  EXPECT_EQ(history.find("replaced,song,name,file,input,codec,bitrate,sha256,"), 0u) << history;
  EXPECT_NE(history.find(old_row.substr(0, old_row.size() - 2) + ",,,,\r\n"), std::string::npos) << history;

  folder_contents contents;
  folder_problem problem;
  ASSERT_EQ(read_test_folder(test, contents, problem), folder_status::ok);
  ASSERT_EQ(contents.songs.size(), 3u);
  EXPECT_EQ(contents.songs[0].name, ODD_NAME);
  ASSERT_EQ(contents.songs[1].stimuli.size(), 4u);  // the replaced song as it is now
  EXPECT_EQ(contents.songs[1].stimuli[2].name, "S4");
  EXPECT_TRUE(contents.settings.mushra_pages);  // remembered from the runs that asked for it
  EXPECT_FALSE(std::filesystem::exists(test + "/public/stimuli/first/S5.wav"));
  EXPECT_TRUE(std::filesystem::exists(test + "/public/stimuli/first/S4.wav"));
  for (const auto& e : std::filesystem::directory_iterator(test)) {
    EXPECT_NE(e.path().filename().string().front() == '.' && e.path().filename() != LOCK_FILE, true)
        << "left behind: " << e.path();
  }
  const std::string yaml = read_all(test + "/public/webmushra.yaml");
  EXPECT_NE(yaml.find("strict: false"), std::string::npos);  // the 13-s song
  EXPECT_NE(read_all(test + "/report.txt").find("beyond webMUSHRA's strict limit"), std::string::npos);
  const std::string failure = check_folder(test, hidden_words({again, odd, third}));
  if (failure == "skip") GTEST_SKIP() << "no python3 with yaml: the folder checker did not run";
  EXPECT_EQ(failure, "");
}

TEST(test_folder, excerpts_hold_the_same_frames_with_the_same_fades) {
  temp_dir dir;
  const test_song t{"song", {"mp3", "aac", "opus"}};
  serving_choices choices;
  choices.excerpt = parse_excerpt("1,2");  // frames 8000 to 24000 at 8 kHz, fades of 20 ms: 160 frames
  ASSERT_EQ(add_song(dir.file("t"), t, choices).status, folder_status::ok);
  folder_contents contents;
  folder_problem problem;
  ASSERT_EQ(read_test_folder(dir.file("t"), contents, problem), folder_status::ok);
  const song_entry& song = contents.songs.at(0);
  EXPECT_EQ(song.served.start, 8000);
  EXPECT_EQ(song.served.frames, 16000);
  EXPECT_EQ(song.served.fade, 160);
  for (int k = 0; k <= 3; ++k) {
    const std::string name = k == 0 ? REFERENCE_NAME : song.stimuli[static_cast<std::size_t>(k - 1)].name;
    const std::string path = dir.file("t/public/stimuli/song/" + name + ".wav");
    wav16_info info;
    std::vector<int16_t> served;
    ASSERT_TRUE(read_wav16_info(path, info) && read_wav16_frames(path, info, 0, info.frames, served)) << path;
    ASSERT_EQ(info.frames, 16000);
    const std::vector<int16_t> full = test_stimulus(k, t.frames);
    int differing = 0;
    for (int64_t f = 0; f < 16000; ++f) {
      const int64_t ramp = std::min<int64_t>(f, 16000 - 1 - f);
      for (int c = 0; c < 2; ++c) {
        const int16_t source = full[static_cast<std::size_t>((8000 + f) * 2 + c)];
        const int16_t want = ramp < 160 ? faded_sample(source, ramp, 160) : source;
        differing += served[static_cast<std::size_t>(f * 2 + c)] != want;
      }
    }
    EXPECT_EQ(differing, 0) << name;
    EXPECT_EQ(served[0], 0);
    EXPECT_EQ(served[1], 0);
    EXPECT_EQ(served[served.size() - 1], 0);
    EXPECT_EQ(served[160 * 2], full[(8000 + 160) * 2]);  // the first frame after the fade-in
  }
}

// The anchors' filter on arrays: odd and symmetric, a gain of 1 at 0 Hz, and
// an impulse comes out as the taps centred on it, zeros taken outside the
// signal (an impulse on the first frame keeps the taps' second half).
TEST(anchor_filter, symmetric_unit_gain_and_centred) {
  for (const double rate : {44100.0, 48000.0, 96000.0}) {
    for (const double cutoff : {LOW_ANCHOR_HZ, MID_ANCHOR_HZ}) {
      const std::vector<double> taps = anchor_taps(cutoff, rate);
      const std::size_t half = taps.size() / 2;
      ASSERT_EQ(taps.size() % 2, 1u);
      EXPECT_TRUE(std::equal(taps.begin(), taps.end(), taps.rbegin())) << rate << " " << cutoff;
      double sum = 0;
      for (const double t : taps) sum += t;
      EXPECT_NEAR(sum, 1, 1e-9) << rate << " " << cutoff;
      for (const std::size_t at : {std::size_t{0}, 3 * half}) {
        std::vector<float> impulse(4 * half);
        impulse[at] = 1;
        std::vector<double> out(impulse.size());
        lowpass_frames(impulse, taps, 0, out);
        for (std::size_t n = 0; n < out.size(); ++n) {
          const auto k = static_cast<std::ptrdiff_t>(n) - static_cast<std::ptrdiff_t>(at);
          const double want =
              std::abs(k) <= static_cast<std::ptrdiff_t>(half) ? taps[static_cast<std::size_t>(k) + half] : 0;
          ASSERT_EQ(out[n], want) << rate << " " << cutoff << " impulse at " << at << ", frame " << n;
        }
      }
    }
  }
  EXPECT_EQ(anchor_taps(MID_ANCHOR_HZ, 8000), std::vector<double>{1.0});  // nothing above 4 kHz to remove
}

TEST(test_folder, refusals_and_failures_leave_the_folder_as_it_was) {
  struct row {
    const char* name;
    std::function<added(const std::string& test)> change;
    folder_status status;
    const char* message;
  };
  const test_song small{"small", {"mp3"}};
  const auto with_excerpt = [](const char* excerpt, std::optional<int> fade) {
    serving_choices c;
    c.excerpt = parse_excerpt(excerpt);
    c.fade_ms = fade;
    return c;
  };
  const std::vector<row> rows = {
      {"an excerpt beyond the common length",
       [&](const std::string& test) { return add_song(test, small, with_excerpt("4,1.5", std::nullopt)); },
       folder_status::refused, "reaches beyond the song's aligned length"},
      {"fades longer than half the excerpt",
       [&](const std::string& test) { return add_song(test, small, with_excerpt("1,1", 600)); },
       folder_status::refused, "do not fit"},
      {"13 conditions on a mushra page",
       [&](const std::string& test) {
         return add_song(test, test_song{"many", std::vector<std::string>(13, "mp3")}, {}, true);
       },
       folder_status::refused, "a mushra page takes at most 12 conditions"},
      {"a shared file that cannot be written",
       [&](const std::string& test) {
         std::filesystem::create_directory(test + "/.report.txt.tmp");  // in the way of the new summary
         added a = add_song(test, small);
         std::filesystem::remove(test + "/.report.txt.tmp");
         return a;
       },
       folder_status::failed, "cannot write"},
      {"a song's record that is not one",
       [&](const std::string& test) {
         std::ofstream(test + "/songs/broken.json") << "{}";
         added a = add_song(test, small);
         std::filesystem::remove(test + "/songs/broken.json");
         return a;
       },
       folder_status::not_allowed, "not a song record"},
      {"a served file changed by hand",
       [&](const std::string& test) {
         const std::string reference = test + "/public/stimuli/kept/reference.wav";
         const std::string saved = read_all(reference);
         write_wav16(reference, 8000, 2, test_stimulus(0, 100));
         added a = add_song(test, small);
         std::ofstream(reference, std::ios::binary) << saved;
         return a;
       },
       folder_status::refused, "same length in samples"},
  };
  for (const row& r : rows) {
    temp_dir dir;
    const std::string test = dir.file("t");
    ASSERT_EQ(add_song(test, test_song{"kept", {"mp3", "aac"}}).status, folder_status::ok);
    const std::string before = folder_snapshot(test);
    const added a = r.change(test);
    EXPECT_EQ(a.status, r.status) << r.name;
    EXPECT_NE(a.problem.message.find(r.message), std::string::npos) << r.name << ": " << a.problem.message;
    EXPECT_EQ(folder_snapshot(test), before) << r.name;
  }
}

TEST(test_folder, names_and_folders_refused) {
  for (const char* bad : {"", ".hidden", "a/b", "a\\b", "tab\there", "bad\xFF"}) {
    EXPECT_TRUE(song_name_problem(bad)) << bad;
  }
  EXPECT_FALSE(song_name_problem(ODD_NAME));
  temp_dir dir;
  std::ofstream(dir.file("notes.txt")) << "mine";
  folder_problem problem;
  EXPECT_EQ(open_test_folder(dir.path, nullptr, problem), folder_status::refused);
  EXPECT_NE(problem.message.find("not a test folder"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("folder.json")));
  std::ofstream(dir.file("file")) << "x";
  EXPECT_EQ(open_test_folder(dir.file("file"), nullptr, problem), folder_status::refused);
}

#ifndef _WIN32

// Names that are markup or hold characters that parsers garble: the checker
// reads each config with the front end's own parser and compares every name
// shown, its character references decoded, with the song's. A song holds an
// anchor of its own, which only its mushra page lists. Then the checker on
// copies of the folder with one fault planted in each.
TEST(test_folder, names_shown_as_named_by_the_front_ends) {
  temp_dir dir;
  const std::string test = dir.file("Rock <live> & 'more'");
  const char* const names[] = {
      "<img src=x onerror=alert(1)>", "Rock <live> & \"more\"",
      "next\xC2\x85line \xE2\x80\xA8 \xE2\x80\xA9 \xEF\xBB\xBF \xC2\x80 \x7f \\ \xEF\xBF\xBE",
      "Beyonc\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xB5"};
  for (const char* name : names) {
    const test_song t{name, {"mp3", std::string(ANCHOR_CODEC_PREFIX) + "3.5kHz"}};
    ASSERT_EQ(add_song(test, t, {}, true).status, folder_status::ok) << name;
  }
  const std::string failure = check_folder(test);
  if (failure == "skip")
    GTEST_SKIP() << "no Node.js with the front ends' parsers: the folder checker did not run";
  EXPECT_EQ(failure, "");

  struct planted {
    const char* file;  // in public/
    const char* from;  // nullptr: the file moved away
    const char* to;
    const char* says;
  };
  const planted rows[] = {
      {"webmushra.yaml", "  -\n    - \"random\"\n", "  - - \"random\"\n", "not a page of a known type"},
      {"webmushra.yaml", "&lt;img", "<img", "markup in"},
      {"webmushra.yaml", "next\\Nline", "next\\u0085line", "shows \"next\xC3\x82\xC2\x85line"},
      {"webmushra.yaml", "showErrors: true", "showErrors: false", "a finish page that shows errors"},
      {"webmushra.yaml", "/S1.wav\"", "/S9.wav\"", "names no file"},
      {"beaqlejs_config.js", "&lt;live&gt;", "<live>", "markup in"},
      {"beaqlejs_config.js", "Beyonc\\u00e9", "Beyonc\\u00e8", "Name: shows \"Beyonc\xC3\xA8"},
      {"stimuli/<img src=x onerror=alert(1)>/S1.wav", nullptr, "", "names no file"},
      {"stimuli/<img src=x onerror=alert(1)>/S1.wav", nullptr, "", "does not list stimuli/<img"},
  };
  for (const planted& r : rows) {
    std::filesystem::remove_all(dir.file("planted"));
    const std::string copy = dir.file("planted/Rock <live> & 'more'");
    std::filesystem::create_directory(dir.file("planted"));
    std::filesystem::copy(test, copy, std::filesystem::copy_options::recursive);
    const std::string file = copy + "/public/" + r.file;
    if (r.from == nullptr) {
      std::filesystem::rename(file, file + ".moved");
    } else {
      std::string text = read_all(file);
      ASSERT_NE(text.find(r.from), std::string::npos) << r.from;
      text.replace(text.find(r.from), std::string(r.from).size(), r.to);
      std::ofstream(file, std::ios::binary) << text;
    }
    const std::string said = check_folder(copy);
    EXPECT_NE(said.find(r.says), std::string::npos)
        << r.file << " " << (r.from ? r.from : "moved") << ": " << said;
  }
}

namespace {
int wait_pipe = -1;  // where a child run says that it waits for the lock
void say_waiting(const std::string&) {
  if (write(wait_pipe, "w", 1) != 1) _exit(3);
}
}  // namespace

TEST(test_folder_lock, a_run_changes_nothing_until_it_holds_the_lock) {
  temp_dir dir;
  const std::string test = dir.file("t");
  ASSERT_EQ(add_song(test, test_song{"one"}).status, folder_status::ok);
  const std::string configs =
      read_all(test + "/public/webmushra.yaml") + read_all(test + "/public/beaqlejs_config.js");
  int to_parent[2];
  int to_child[2];
  ASSERT_EQ(pipe(to_parent), 0);
  ASSERT_EQ(pipe(to_child), 0);
  const pid_t child = fork();
  if (child == 0) {
    // A second run: its song prepared and served, it is ready to move it in.
    folder_problem problem;
    std::string staging;
    intptr_t owner = 0;
    if (make_staging(test, "two", staging, owner, problem) != folder_status::ok) _exit(1);
    std::filesystem::create_directory(staging + "/served");
    song_change change{staging + "/served", {}, std::nullopt, std::nullopt, {}, {}, {}};
    if (serve_test_song({"two"}, {}, staging + "/served", change.record, problem) != folder_status::ok)
      _exit(1);
    char go = 0;
    if (write(to_parent[1], "r", 1) != 1 || read(to_child[0], &go, 1) != 1) _exit(1);
    wait_pipe = to_parent[1];
    bool replaced = false;
    bool pending = false;
    _exit(commit_song(test, change, false, say_waiting, replaced, pending, problem) == folder_status::ok ? 0
                                                                                                         : 1);
  }
  close(to_parent[1]);
  close(to_child[0]);
  char said = 0;
  ASSERT_EQ(read(to_parent[0], &said, 1), 1);
  folder_lock held;
  ASSERT_TRUE(held.acquire(test, nullptr));
  ASSERT_EQ(write(to_child[1], "g", 1), 1);
  ASSERT_EQ(read(to_parent[0], &said, 1), 1);  // the child now waits for the lock
  EXPECT_EQ(said, 'w');
  EXPECT_EQ(read_all(test + "/public/webmushra.yaml") + read_all(test + "/public/beaqlejs_config.js"),
            configs);
  EXPECT_FALSE(std::filesystem::exists(test + "/public/stimuli/two"));
  held.release();
  int status = 0;
  waitpid(child, &status, 0);
  close(to_parent[0]);
  close(to_child[1]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(read_all(test + "/public/webmushra.yaml").find("stimuli/two/S1.wav"), std::string::npos);
  EXPECT_NE(read_all(test + "/public/webmushra.yaml").find("stimuli/one/S1.wav"), std::string::npos);
}

TEST(test_folder_lock, a_signal_waits_until_the_run_acts_on_it) {
  temp_dir dir;
  const pid_t child = fork();
  if (child == 0) {
    watch_signals();
    raise(SIGINT);
    std::ofstream(dir.file("during")) << "x";
    if (pending_signal() == SIGINT) end_by_signal(SIGINT);
    std::ofstream(dir.file("after")) << "x";
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
  EXPECT_TRUE(std::filesystem::exists(dir.file("during")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("after")));
}

#endif

// A folder of the old layout, with the served files at its top beside the
// key, is converted by the next run that adds a song; one that a stopped
// conversion left half done is finished; one with a name in both places is
// refused and left as it was.
TEST(test_folder, old_layout_converted_at_the_next_run) {
  struct row {
    const char* name;
    std::vector<std::string> left_at_top;  // of stimuli, webmushra.yaml, beaqlejs_config.js
    bool keep_public_copy;                 // the same name in public/ as well
    folder_status status;
  };
  const std::vector<row> rows = {
      {"old", {STIMULI_FOLDER, WEBMUSHRA_FILE, BEAQLEJS_FILE}, false, folder_status::ok},
      {"half_converted", {BEAQLEJS_FILE}, false, folder_status::ok},
      {"both", {STIMULI_FOLDER}, true, folder_status::refused},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    temp_dir dir;
    const std::string test = dir.file("t");
    ASSERT_EQ(add_song(test, {"one", {"mp3", "aac"}}).status, folder_status::ok);
    // Back to the old layout: the served files at the top, folder.json without an id.
    for (const std::string& name : r.left_at_top) {
      const auto copy =
          r.keep_public_copy ? std::filesystem::copy_options::recursive : std::filesystem::copy_options::none;
      if (r.keep_public_copy) {
        std::filesystem::copy(test + "/public/" + name, test + "/" + name, copy);
      } else {
        std::filesystem::rename(test + "/public/" + name, test + "/" + name);
      }
    }
    std::ofstream(test + "/" + SETTINGS_FILE, std::ios::binary | std::ios::trunc)
        << "{\n  \"page\": \"bs1116\",\n  \"path_prefix\": \"\"\n}\n";
    const std::string before = folder_snapshot(test);

    const added a = add_song(test, {"two", {"opus"}});
    ASSERT_EQ(a.status, r.status) << a.problem.path << ": " << a.problem.message;
    if (r.status != folder_status::ok) {
      EXPECT_EQ(folder_snapshot(test), before);
      continue;
    }
    for (const char* name : {STIMULI_FOLDER, WEBMUSHRA_FILE, BEAQLEJS_FILE}) {
      EXPECT_FALSE(std::filesystem::exists(test + "/" + name)) << name;
    }
    EXPECT_TRUE(std::filesystem::exists(test + "/public/stimuli/one/S2.wav"));
    EXPECT_TRUE(std::filesystem::exists(test + "/public/stimuli/two/S1.wav"));
    folder_contents contents;
    folder_problem problem;
    ASSERT_EQ(read_test_folder(test, contents, problem), folder_status::ok);
    EXPECT_EQ(contents.settings.id.size(), 32u);
    const std::string failure =
        check_folder(test, hidden_words({{"one", {"mp3", "aac"}}, {"two", {"opus"}}}));
    if (failure != "skip") {
      EXPECT_EQ(failure, "");
    }
  }
}

// Each new folder draws its own id, kept by every later run.
TEST(test_folder, a_new_folder_draws_an_id_that_later_runs_keep) {
  temp_dir dir;
  std::vector<std::string> ids;
  for (const char* folder : {"a", "a", "b"}) {
    const test_song song{"s" + std::to_string(ids.size()), {"mp3"}};
    ASSERT_EQ(add_song(dir.file(folder), song).status, folder_status::ok);
    folder_contents contents;
    folder_problem problem;
    ASSERT_EQ(read_test_folder(dir.file(folder), contents, problem), folder_status::ok);
    EXPECT_EQ(contents.settings.id.find_first_not_of("0123456789abcdef"), std::string::npos);
    ids.push_back(contents.settings.id);
  }
  EXPECT_EQ(ids[0].size(), 32u);
  EXPECT_EQ(ids[1], ids[0]);
  EXPECT_NE(ids[2], ids[0]);
}
