// The stages of the test folder on values in memory: blind names, excerpts
// and fades, webMUSHRA's rules, the YAML strings and served URLs.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "test_folder_songs.h"

namespace {

std::vector<std::string> names_of(std::size_t n, uint64_t seed, const std::string& song) {
  return stimulus_names(std::vector<std::string>(n, "mp3"), naming::blind, seed, song);
}

}  // namespace

TEST(blind_names, a_seed_names_one_order_on_every_system) {
  // Fixed here so that a changed generator, which would make printed seeds
  // name other orders, fails on every build and under wine alike.
  EXPECT_EQ(names_of(6, 42, "song"), (std::vector<std::string>{"S4", "S6", "S1", "S5", "S3", "S2"}));
  EXPECT_EQ(names_of(6, 42, "song"), names_of(6, 42, "song"));
  EXPECT_NE(names_of(9, 42, "song"), names_of(9, 42, "other song"));
  EXPECT_NE(names_of(9, 42, "song"), names_of(9, 43, "song"));
  std::vector<std::string> sorted = names_of(9, 7, "x");
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{"S1", "S2", "S3", "S4", "S5", "S6", "S7", "S8", "S9"}));
}

TEST(blind_names, every_order_comes_up) {
  // 3 stimuli, 6 orders: a biased or partial shuffle misses some of them.
  std::set<std::vector<std::string>> seen;
  for (uint64_t seed = 0; seed < 200; ++seed) seen.insert(names_of(3, seed, "song"));
  EXPECT_EQ(seen.size(), 6u);
}

TEST(blind_names, codec_names_and_seeds) {
  EXPECT_EQ(stimulus_names({"mp3", "aac", "mp3", "a/b c", "reference", ""}, naming::codec, 1, "s"),
            (std::vector<std::string>{"mp3-1", "aac", "mp3-2", "a_b_c", "codec_reference", "codec_"}));
  EXPECT_EQ(parse_seed("0"), 0u);
  EXPECT_EQ(parse_seed("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "18446744073709551616", "-1", "1x", " 1", "99999999999999999999"}) {
    EXPECT_FALSE(parse_seed(bad)) << bad;
  }
}

TEST(excerpt, options_and_frames) {
  EXPECT_FALSE(parse_excerpt("10"));
  EXPECT_FALSE(parse_excerpt("1,0"));
  EXPECT_FALSE(parse_excerpt("-1,2"));
  EXPECT_FALSE(parse_excerpt("1,2,3"));
  EXPECT_FALSE(parse_excerpt("1e3,2"));
  EXPECT_FALSE(parse_fade("20.5"));
  EXPECT_FALSE(parse_fade("10001"));
  EXPECT_EQ(parse_fade("0"), 0);
  ASSERT_TRUE(parse_excerpt("1.5,2.25"));
  EXPECT_EQ(parse_excerpt("1.5,2.25")->start, 1.5);

  struct row {
    const char* excerpt;
    int fade_ms;
    int64_t common;
    excerpt_status status;
    excerpt_frames plan;
  };
  const row rows[] = {
      {nullptr, 0, 44100, excerpt_status::ok, {0, 44100, 0}},
      {nullptr, 20, 44100, excerpt_status::ok, {0, 44100, 882}},
      {"1.5,2.25", 20, 441000, excerpt_status::ok, {66150, 99225, 882}},
      {"0,10", 0, 441000, excerpt_status::ok, {0, 441000, 0}},
      {"0,10.0001", 0, 441000, excerpt_status::beyond_length, {}},
      {"9,1.01", 0, 441000, excerpt_status::beyond_length, {}},
      {"0.01,0.02", 10, 441000, excerpt_status::ok, {441, 882, 441}},
      {"0.01,0.02", 11, 441000, excerpt_status::fade_too_long, {}},
  };
  for (const row& r : rows) {
    const std::optional<excerpt_seconds> e = r.excerpt ? parse_excerpt(r.excerpt) : std::nullopt;
    excerpt_frames plan;
    EXPECT_EQ(plan_excerpt(e, r.fade_ms, 44100, r.common, plan), r.status) << (r.excerpt ? r.excerpt : "-");
    if (r.status != excerpt_status::ok) continue;
    EXPECT_EQ(plan.start, r.plan.start);
    EXPECT_EQ(plan.frames, r.plan.frames);
    EXPECT_EQ(plan.fade, r.plan.fade);
  }
}

TEST(excerpt, linear_fades_in_integers) {
  EXPECT_EQ(faded_sample(32767, 0, 4), 0);
  EXPECT_EQ(faded_sample(32767, 3, 4), 24575);   // 24575.25
  EXPECT_EQ(faded_sample(-32768, 1, 4), -8192);  // exactly a quarter
  EXPECT_EQ(faded_sample(-3, 1, 2), -2);         // -1.5: halves away from zero
  EXPECT_EQ(faded_sample(3, 1, 2), 2);
  std::vector<int16_t> s(2 * 10, 1000);
  apply_fades(s, 2, 4);
  EXPECT_EQ(s, (std::vector<int16_t>{0,    0,    250, 250, 500, 500, 750, 750, 1000, 1000,
                                     1000, 1000, 750, 750, 500, 500, 250, 250, 0,    0}));
}

TEST(webmushra_rules, each_rule_names_itself) {
  song_entry song;
  song.rate = 8000;
  song.served.frames = 8000 * 5;
  song.stimuli.resize(3);
  const wav16_info good{8000, 2, 8000 * 5, 44};
  struct row {
    const char* name;
    int changed;  // which file differs: 0 the reference, 1.. a stimulus
    wav16_info file;
    std::size_t stimuli;
    bool mushra;
    const char* rule;  // "" when the song passes
  };
  const row rows[] = {
      {"all alike", 1, good, 3, true, ""},
      {"another rate", 2, {44100, 2, 8000 * 5, 44}, 3, false, "same sample rate"},
      {"another length", 3, {8000, 2, 8000 * 5 - 1, 44}, 3, false, "same length in samples"},
      {"mono", 1, {8000, 1, 8000 * 5, 44}, 3, false, "same number of channels"},
      {"13 conditions on a mushra page", 1, good, 13, true, "at most 12 conditions"},
      {"13 conditions on bs1116 pages", 1, good, 13, false, ""},
      {"12 conditions on a mushra page", 1, good, 12, true, ""},
      {"longer than the record says", 0, {8000, 2, 8000 * 13, 44}, 0, false, "at most 12 s"},
  };
  for (const row& r : rows) {
    song.stimuli.assign(r.stimuli, stimulus_entry{});
    std::vector<wav16_info> files(r.stimuli + 1, good);
    if (r.changed == 0) {
      std::fill(files.begin(), files.end(), r.file);
    } else {
      files[static_cast<std::size_t>(r.changed)] = r.file;
    }
    const auto breach = check_song_pages(song, files, r.mushra);
    if (*r.rule == '\0') {
      EXPECT_FALSE(breach) << r.name << ": " << breach->rule;
    } else {
      ASSERT_TRUE(breach) << r.name;
      EXPECT_NE(breach->rule.find(r.rule), std::string::npos) << r.name << ": " << breach->rule;
      EXPECT_FALSE(breach->fix.empty());
    }
  }
}

TEST(config_strings, yaml_strings_come_back_unchanged) {
  const std::vector<std::string> texts = {"plain",
                                          "a \"quoted\" name",
                                          "key: value",
                                          "# not a comment",
                                          "- not a list",
                                          "back\\slash",
                                          "tab\there",
                                          "line\nbreak",
                                          "\x01\x1f\x7f control",
                                          "Beyonc\xC3\xA9 \xE2\x80\xA8 separators \xEF\xBB\xBF",
                                          "\xF0\x9F\x8E\xB5 note",
                                          "\xC2\x85 next line",
                                          "\xC2\x80\xC2\x9F C1 \xE2\x80\xA9 \xEF\xBF\xBE \xEF\xBF\xBF",
                                          "yes",
                                          "null",
                                          "~",
                                          "0x10",
                                          "'single'",
                                          "{a: b}",
                                          "[1, 2]",
                                          "& * ! | > % @ `"};
  temp_dir dir;
  std::ofstream yaml(dir.file("strings.yaml"), std::ios::binary);
  for (const std::string& t : texts) yaml << "- " << yaml_string(t) << "\n";
  yaml.close();
  std::ofstream json(dir.file("strings.json"), std::ios::binary);
  json << nlohmann::json(texts).dump();
  json.close();
  // Read back by yamljs, webMUSHRA's parser.
  if (*NODE_MODULES_DIR == '\0') GTEST_SKIP() << "no Node.js with yamljs";
  const std::string read_back =
      "const fs = require('fs'), [yamljs, yaml, json] = process.argv.slice(1);"
      "const same = JSON.stringify(require(yamljs).parse(fs.readFileSync(yaml, 'utf8'))) ==="
      " JSON.stringify(JSON.parse(fs.readFileSync(json, 'utf8')));"
      "process.exit(same ? 0 : 1);";
  const std::string check = std::string(NODE_PROGRAM) + " -e \"" + read_back + "\" " + NODE_MODULES_DIR +
                            "/yamljs '" + dir.file("strings.yaml") + "' '" + dir.file("strings.json") + "'";
  EXPECT_EQ(std::system(check.c_str()), 0);
  EXPECT_EQ(yaml_string("a\xFF"), "\"a\xEF\xBF\xBD\"");  // not UTF-8: the replacement character
}

TEST(config_strings, served_urls) {
  folder_settings settings;
  EXPECT_EQ(served_url(settings, "song", "S1"), "stimuli/song/S1.wav");
  EXPECT_EQ(served_url(settings, "a#b?c%d e", "S1"), "stimuli/a%23b%3Fc%25d%20e/S1.wav");
  EXPECT_EQ(served_url(settings, "Beyonc\xC3\xA9", "reference"), "stimuli/Beyonc%C3%A9/reference.wav");
  settings.path_prefix = "tests/one";
  EXPECT_EQ(served_url(settings, "s", "S2"), "tests/one/stimuli/s/S2.wav");
  settings.path_prefix = "/audio/";
  EXPECT_EQ(served_url(settings, "s", "S2"), "/audio/stimuli/s/S2.wav");
}
