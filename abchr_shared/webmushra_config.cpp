#include "webmushra_config.h"

#include <utf8.h>

#include <algorithm>
#include <set>

#include "listen_page.h"

namespace {

void append_escape(std::string& out, uint32_t code) {
  static const char hex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += hex[(code >> shift) & 0xF];
}

// webMUSHRA reads its configs with the JavaScript parser yamljs, which
// decodes an escape "\u00e9" or "\xe9" beyond ASCII wrongly (its UTF-8
// bytes, each as a character of its own) and ends a line at a raw line or
// paragraph separator. What it reads back unchanged: ASCII escapes, YAML's
// named escapes "\N", "\L" and "\P" (U+0085, U+2028, U+2029), and every
// other character beyond ASCII raw, C1 controls and noncharacters too.
const char* named_escape(uint32_t code) {
  switch (code) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    case 0x85:
      return "\\N";
    case 0x2028:
      return "\\L";
    case 0x2029:
      return "\\P";
    default:
      return nullptr;
  }
}

std::string seconds_text(int64_t frames, int64_t rate) {
  const int64_t tenths = (frames * 10 + rate / 2) / rate;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

struct yaml_writer {
  std::string text;

  void line(int indent, const std::string& content) { text += std::string(indent, ' ') + content + "\n"; }
  void field(int indent, const std::string& key, const std::string& value) {
    line(indent, key + ": " + yaml_string(value));
  }
  void flag(int indent, const std::string& key, bool value) {
    line(indent, key + ": " + (value ? "true" : "false"));
  }
};

// The page ids of a test, made of letters, digits, "-" and "_" (webMUSHRA
// puts them into its pages' markup), one of each however songs are named.
struct page_ids {
  std::set<std::string> taken;
  std::string make(const std::string& wanted) {
    std::string id = identifier(wanted);
    for (int n = 2; !taken.insert(id).second; ++n) id = identifier(wanted) + "_" + std::to_string(n);
    return id;
  }
};

bool is_anchor(const stimulus_entry& s) { return s.codec.rfind(ANCHOR_CODEC_PREFIX, 0) == 0; }

void comparison_page(yaml_writer& y, const std::string& id, const folder_contents& folder,
                     const song_entry& song, const std::vector<const stimulus_entry*>& conditions,
                     bool mushra) {
  const std::string type = mushra ? "mushra" : "bs1116";
  // A page of the block that starts with "random".
  const int at = 6;
  y.line(4, "- type: " + yaml_string(type));
  y.field(at, "id", id);
  y.field(at, "name", html_text(song.name));
  // webMUSHRA labels a bs1116 page's buttons "A (Reference)", "B" and "C".
  y.field(at, "content",
          mushra
              ? "Rate how closely each condition matches the reference. One of them is the reference itself."
              : "A is the reference. One of B and C is the reference again, hidden: grade both B and C "
                "against A.");
  y.flag(at, "showWaveform", false);
  y.flag(at, "enableLooping", true);
  if (beyond_strict_limit(song)) y.flag(at, "strict", false);
  y.field(at, "reference", served_url(folder.settings, song.name, REFERENCE_NAME));
  // The song's own anchors, where it has them, stand for webMUSHRA's.
  if (std::none_of(conditions.begin(), conditions.end(),
                   [](const stimulus_entry* s) { return is_anchor(*s); })) {
    y.flag(at, "createAnchor35", false);
    y.flag(at, "createAnchor70", false);
  }
  if (mushra) {
    y.flag(at, "randomize", true);
    y.flag(at, "showConditionNames", false);
  }
  y.line(at, "stimuli:");
  for (const stimulus_entry* s : conditions) {
    y.line(at + 2,
           yaml_string(s->name) + ": " + yaml_string(served_url(folder.settings, song.name, s->name)));
  }
}

const char* const VOLUME_PAGE = "volume";

// A block of pages that webMUSHRA shows in random order: a list whose first
// item is "random", written as a nested block list ("-", then the items
// indented beneath). yamljs reads the compact form "- - random" as one string.
void random_block(yaml_writer& y) {
  y.line(2, "-");
  y.line(4, "- " + yaml_string("random"));
}

}  // namespace

std::vector<webmushra_song_pages> webmushra_page_ids(const folder_contents& folder) {
  // In the order of the pages in the config, the volume page first.
  page_ids ids;
  ids.make(VOLUME_PAGE);
  std::vector<webmushra_song_pages> pages(folder.songs.size());
  for (std::size_t n = 0; n < folder.songs.size(); ++n) {
    for (const stimulus_entry* s : in_served_order(folder.songs[n]))
      if (!is_anchor(*s)) pages[n].bs1116[s->name] = ids.make(folder.songs[n].name + "_" + s->name);
  }
  if (folder.settings.mushra_pages) {
    for (std::size_t n = 0; n < folder.songs.size(); ++n)
      pages[n].mushra = ids.make(folder.songs[n].name + "_mushra");
  }
  return pages;
}

std::string yaml_string(std::string_view text) {
  const std::string clean = displayable(std::string(text));
  std::string out = "\"";
  for (auto at = clean.begin(); at != clean.end();) {
    const auto start = at;
    const uint32_t code = utf8::unchecked::next(at);  // well formed: displayable made it so
    if (const char* named = named_escape(code)) {
      out += named;
    } else if (code < 0x20 || code == 0x7F) {
      append_escape(out, code);
    } else {
      out.append(start, at);
    }
  }
  return out + "\"";
}

bool beyond_strict_limit(const song_entry& song) { return song.served.frames > STRICT_SECONDS * song.rate; }

std::optional<rule_breach> check_song_pages(const song_entry& song, const std::vector<wav16_info>& files,
                                            bool mushra_pages) {
  const std::string again = "prepare the song again with abchr-prepare; the files under " +
                            std::string(STIMULI_FOLDER) + "/ must not be changed by hand";
  if (files.empty()) return rule_breach{"a page needs its reference", again};
  const wav16_info& reference = files.front();
  for (std::size_t i = 1; i < files.size(); ++i) {
    const std::string file = (i - 1 < song.stimuli.size() ? song.stimuli[i - 1].name : "?") + ".wav";
    if (files[i].rate != reference.rate) {
      return rule_breach{"every file of a page must have the same sample rate: " + file + " has " +
                             std::to_string(files[i].rate) + " Hz, the reference " +
                             std::to_string(reference.rate) + " Hz",
                         again};
    }
    if (files[i].frames != reference.frames) {
      return rule_breach{"every file of a page must have the same length in samples: " + file + " has " +
                             std::to_string(files[i].frames) + ", the reference " +
                             std::to_string(reference.frames),
                         again};
    }
    if (files[i].channels != reference.channels) {
      return rule_breach{"every file of a page must have the same number of channels: " + file + " has " +
                             std::to_string(files[i].channels) + ", the reference " +
                             std::to_string(reference.channels),
                         again};
    }
  }
  const std::size_t conditions = files.size() - 1;
  if (mushra_pages && conditions > MAX_CONDITIONS) {
    return rule_breach{
        "a mushra page takes at most " + std::to_string(MAX_CONDITIONS) + " conditions; this song has " +
            std::to_string(conditions),
        "give the song at most " + std::to_string(MAX_CONDITIONS) +
            " encoded files, or leave out --page mushra (each bs1116 page holds one condition)"};
  }
  const bool strict = !beyond_strict_limit(song);
  if (strict && reference.rate > 0 && reference.frames > STRICT_SECONDS * reference.rate) {
    return rule_breach{"a strict page takes stimuli of at most " + std::to_string(STRICT_SECONDS) +
                           " s; the reference lasts " + seconds_text(reference.frames, reference.rate),
                       again};
  }
  return std::nullopt;
}

std::string webmushra_yaml(const folder_contents& folder) {
  yaml_writer y;
  y.line(0, "# webMUSHRA's configuration, written by abchr-prepare from every song of this test folder.");
  y.field(0, "testname", html_text(folder.title));
  y.field(0, "testId", identifier(folder.title));
  y.line(0, "bufferSize: 2048");
  y.flag(0, "stopOnErrors", true);
  y.flag(0, "showButtonPreviousPage", false);
  y.field(0, "remoteService", "service/write.php");
  y.line(0, "pages:");
  const std::vector<webmushra_song_pages> ids = webmushra_page_ids(folder);
  if (!folder.songs.empty()) {
    const song_entry& first = folder.songs.front();
    y.line(2, "- type: " + yaml_string("volume"));
    y.field(4, "id", VOLUME_PAGE);
    y.field(4, "name", "Volume");
    y.field(4, "content",
            "Set a comfortable listening level with this music, then keep it for the whole test.");
    y.field(4, "stimulus", served_url(folder.settings, first.name, REFERENCE_NAME));
    y.line(4, "defaultVolume: 0.5");
    random_block(y);
    for (std::size_t n = 0; n < folder.songs.size(); ++n) {
      const song_entry& song = folder.songs[n];
      for (const stimulus_entry* s : in_served_order(song))
        if (!is_anchor(*s)) comparison_page(y, ids[n].bs1116.at(s->name), folder, song, {s}, false);
    }
    if (folder.settings.mushra_pages) {
      random_block(y);
      for (std::size_t n = 0; n < folder.songs.size(); ++n)
        comparison_page(y, ids[n].mushra, folder, folder.songs[n], in_served_order(folder.songs[n]), true);
    }
  }
  y.line(2, "- type: " + yaml_string("finish"));
  y.field(4, "name", "Thank you");
  y.field(4, "content", "Thank you for taking part. Your results are sent when you press the button below.");
  y.flag(4, "showResults", false);
  y.flag(4, "writeResults", true);
  // Tells the listener when the results could not be sent, instead of the thanks.
  y.flag(4, "showErrors", true);
  y.line(4, "questionnaire:");
  y.line(6, "- type: " + yaml_string("text"));
  y.field(8, "label", "Your name or a nickname");
  y.field(8, "name", "listener");
  y.flag(8, "optional", false);
  return y.text;
}
