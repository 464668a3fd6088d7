#include "beaqlejs_config.h"

#include <nlohmann/json.hpp>
#include <set>

#include "listen_page.h"

using json = nlohmann::ordered_json;

std::vector<std::string> beaqlejs_test_ids(const folder_contents& folder) {
  std::vector<std::string> made;
  std::set<std::string> ids;  // songs "a b" and "a_b" need test ids of their own
  for (const song_entry& song : folder.songs) {
    std::string id = identifier(song.name);
    for (int n = 2; !ids.insert(id).second; ++n) id = identifier(song.name) + "_" + std::to_string(n);
    made.push_back(id);
  }
  return made;
}

std::string beaqlejs_config(const folder_contents& folder) {
  json sets = json::array();
  const std::vector<std::string> ids = beaqlejs_test_ids(folder);
  for (std::size_t n = 0; n < folder.songs.size(); ++n) {
    const song_entry& song = folder.songs[n];
    const std::string& id = ids[n];
    json files = {{"Reference", served_url(folder.settings, song.name, REFERENCE_NAME)}};
    // beaqlejs adds no anchors and wants none: an anchor is a MUSHRA condition.
    for (const stimulus_entry* s : in_served_order(song)) {
      if (s->codec.rfind(ANCHOR_CODEC_PREFIX, 0) != 0)
        files[s->name] = served_url(folder.settings, song.name, s->name);
    }
    // beaqlejs puts both names into its page as HTML.
    sets.push_back({{"Name", html_text(song.name)}, {"TestID", id}, {"Files", files}});
  }
  const json config = {{"TestName", html_text(folder.title)},
                       {"RateScalePng", "img/scale_abs.png"},
                       {"RateScaleBgPng", "img/scale_abs_background.png"},
                       {"RateMinValue", 0},
                       {"RateMaxValue", 100},
                       {"RateDefaultValue", 0},
                       {"ShowFileIDs", false},
                       {"ShowResults", false},
                       {"LoopByDefault", true},
                       {"EnableABLoop", true},
                       {"EnableOnlineSubmission", false},
                       {"BeaqleServiceURL", ""},
                       {"SupervisorContact", ""},
                       {"RandomizeTestOrder", true},
                       {"MaxTestsPerRun", -1},
                       {"RequireMaxRating", false},
                       {"AudioRoot", ""},
                       {"Testsets", sets}};
  // Every character beyond ASCII as an escape: a line or paragraph separator
  // raw inside a string ends the script in older browsers.
  return "var TestConfig = " + config.dump(2, ' ', true, json::error_handler_t::replace) + ";\n";
}
