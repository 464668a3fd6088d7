// webMUSHRA's configuration for a test folder, and the rules its validator
// applies to the files of a page.
//
// webMUSHRA reads YAML, with the JavaScript parser yamljs that it bundles.
// No YAML library is needed to write it: every string is double-quoted, so
// song names with quotes, colons, "#" or any UTF-8 text come back unchanged;
// keys are plain words, numbers and booleans bare, and a nested list is
// written as "-" with its items indented beneath (yamljs reads the compact
// "- - item" as one string).
//
// The test: a page to set the volume; one bs1116 page (ABC/HR: the reference,
// then the condition and the hidden reference in random order) per
// condition of every song, all in one block that webMUSHRA shuffles; with
// --page mushra also one mushra page per song (the reference and the
// conditions; webMUSHRA adds the hidden reference itself, so the original is
// never among the conditions), shuffled too; a finish page that sends the
// listener's results to webMUSHRA's service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "song_record.h"
#include "wav16.h"

// The validator's limits for a page that is "strict" (its default): at most
// 12 conditions and stimuli of at most 12 s. Longer stimuli are written with
// `strict: false`, which lifts both; this program keeps the limit on
// conditions in every case.
constexpr std::size_t MAX_CONDITIONS = 12;
constexpr int64_t STRICT_SECONDS = 12;

// A double-quoted YAML string that yamljs reads back as the same text:
// quotes, backslashes and ASCII control characters as escapes, U+0085,
// U+2028 and U+2029 as YAML's "\N", "\L" and "\P", everything else beyond
// ASCII raw, since yamljs decodes a "\u" escape beyond ASCII as the bytes of
// its UTF-8 (C1 controls and noncharacters too, which YAML would have
// escaped). Bytes that are not UTF-8 become U+FFFD.
std::string yaml_string(std::string_view text);

// A song's stimuli last longer than webMUSHRA's strict limit.
bool beyond_strict_limit(const song_entry& song);

struct rule_breach {
  std::string rule;  // which of the validator's rules, and by which file
  std::string fix;   // what the organiser can do
};

// The served files of a song as the front end would load them, the reference
// first, then the stimuli in the record's order: the same rate, length in
// samples and channel count on every page (each page holds the reference);
// at most MAX_CONDITIONS on a mushra page; at most STRICT_SECONDS each while
// the pages are strict.
std::optional<rule_breach> check_song_pages(const song_entry& song, const std::vector<wav16_info>& files,
                                            bool mushra_pages);

// The page ids that webmushra_yaml gives, song by song in the folder's order:
// the bs1116 page of each condition under its served name, and the song's
// mushra page ("" without --page mushra). webMUSHRA's results name a page by
// its id alone, so the key records these for the analysis.
struct webmushra_song_pages {
  std::map<std::string, std::string> bs1116;
  std::string mushra;
};
std::vector<webmushra_song_pages> webmushra_page_ids(const folder_contents& folder);

std::string webmushra_yaml(const folder_contents& folder);
