#include "song_record.h"

#include <utf8.h>

#include <algorithm>
#include <nlohmann/json.hpp>

using json = nlohmann::ordered_json;

namespace {

std::string dump(const json& value) {
  return value.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string decoder_text(const stimulus_entry& s) {
  return s.decoder_version.empty() ? s.decoder : s.decoder + " " + s.decoder_version;
}

std::string song_record_json(const song_entry& song) {
  json stimuli = json::array();
  for (const stimulus_entry& s : song.stimuli) {
    stimuli.push_back({{"name", s.name},
                       {"input", s.input},
                       {"codec", s.codec},
                       {"container", s.container},
                       {"bitrate", s.bitrate},
                       {"decoder", decoder_text(s)},
                       {"predicted_offset", s.predicted_offset ? json(*s.predicted_offset) : json(nullptr)},
                       {"offset", s.offset},
                       {"gain", s.gain},
                       {"gain_db", s.gain_db},
                       {"score", s.score},
                       {"clips", s.clips}});
  }
  const json record = {{"song", song.name},
                       {"original", song.reference.input},
                       {"rate", song.rate},
                       {"channels", song.channels},
                       {"common_frames", song.common_frames},
                       {"start_frame", song.served.start},
                       {"frames", song.served.frames},
                       {"fade_frames", song.served.fade},
                       {"headroom_db", song.headroom_db},
                       {"names", song.names == naming::blind ? "blind" : "codec"},
                       {"seed", song.seed},
                       {"stimuli", stimuli},
                       {"warnings", song.warnings}};
  return dump(record);
}

bool parse_song_record(const std::string& text, song_entry& song) {
  try {
    const json record = json::parse(text);
    song = {};
    song.name = record.at("song").get<std::string>();
    song.reference.name = REFERENCE_NAME;
    song.reference.input = record.at("original").get<std::string>();
    song.rate = record.at("rate").get<int64_t>();
    song.channels = record.at("channels").get<int>();
    song.common_frames = record.at("common_frames").get<int64_t>();
    song.served = {record.at("start_frame").get<int64_t>(), record.at("frames").get<int64_t>(),
                   record.at("fade_frames").get<int64_t>()};
    song.headroom_db = record.at("headroom_db").get<double>();
    song.names = record.at("names").get<std::string>() == "codec" ? naming::codec : naming::blind;
    song.seed = record.at("seed").get<uint64_t>();
    for (const json& s : record.at("stimuli")) {
      stimulus_entry e;
      e.name = s.at("name").get<std::string>();
      e.input = s.at("input").get<std::string>();
      e.codec = s.at("codec").get<std::string>();
      e.container = s.at("container").get<std::string>();
      e.bitrate = s.at("bitrate").get<int64_t>();
      e.decoder = s.at("decoder").get<std::string>();
      if (!s.at("predicted_offset").is_null()) e.predicted_offset = s.at("predicted_offset").get<int64_t>();
      e.offset = s.at("offset").get<int64_t>();
      e.gain = s.at("gain").get<double>();
      e.gain_db = s.at("gain_db").get<double>();
      e.score = s.at("score").get<double>();
      e.clips = s.at("clips").get<int64_t>();
      song.stimuli.push_back(e);
    }
    song.warnings = record.at("warnings").get<std::vector<std::string>>();
    return song.rate > 0 && song.channels > 0 && song.served.frames > 0;
  } catch (const json::exception&) {
    return false;
  }
}

std::string folder_settings_json(const folder_settings& settings) {
  json record = {{"page", settings.mushra_pages ? "mushra" : "bs1116"},
                 {"path_prefix", settings.path_prefix}};
  if (!settings.results_url.empty()) record["results_url"] = settings.results_url;
  if (settings.abx_trials > 0) record["abx"] = settings.abx_trials;
  if (!settings.id.empty()) record["id"] = settings.id;
  return dump(record);
}

bool parse_folder_settings(const std::string& text, folder_settings& settings) {
  try {
    const json record = json::parse(text);
    settings.mushra_pages = record.at("page").get<std::string>() == "mushra";
    settings.path_prefix = record.at("path_prefix").get<std::string>();
    settings.results_url = record.value("results_url", std::string());
    settings.abx_trials = record.value("abx", 0);
    if (settings.abx_trials < 0 || settings.abx_trials > MAX_ABX_TRIALS) return false;
    // A folder made before folders had ids has none until its next run.
    settings.id = record.contains("id") ? record.at("id").get<std::string>() : "";
    return settings.id.empty() || (settings.id.size() == 32 &&
                                   settings.id.find_first_not_of("0123456789abcdef") == std::string::npos);
  } catch (const json::exception&) {
    return false;
  }
}

std::string served_path(const std::string& song, const std::string& name) {
  return std::string(STIMULI_FOLDER) + "/" + song + "/" + name + ".wav";
}

std::string served_url(const folder_settings& settings, const std::string& song, const std::string& name) {
  std::string url = settings.path_prefix;
  if (!url.empty() && url.back() != '/') url += '/';
  static const char hex[] = "0123456789ABCDEF";
  for (const char c : served_path(song, name)) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      url += c;
    } else {
      url += '%';
      url += hex[byte >> 4];
      url += hex[byte & 0xF];
    }
  }
  return url;
}

std::vector<const stimulus_entry*> in_served_order(const song_entry& song) {
  std::vector<const stimulus_entry*> order;
  for (const stimulus_entry& s : song.stimuli) order.push_back(&s);
  std::sort(order.begin(), order.end(), [](const stimulus_entry* a, const stimulus_entry* b) {
    return a->name.size() != b->name.size() ? a->name.size() < b->name.size() : a->name < b->name;
  });
  return order;
}

std::string displayable(const std::string& text) {
  // Each byte that starts no well-formed sequence (a stray continuation byte,
  // an overlong form, a surrogate, beyond U+10FFFF, cut short) becomes one
  // U+FFFD, and the bytes after it are read afresh.
  std::string out;
  auto at = text.begin();
  while (at != text.end()) {
    const auto bad = utf8::find_invalid(at, text.end());
    out.append(at, bad);
    if (bad == text.end()) break;
    out += "\xEF\xBF\xBD";
    at = bad + 1;
  }
  return out;
}

std::string html_text(const std::string& text) {
  std::string out;
  for (const char c : displayable(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string printable(const std::string& text, bool line_breaks) {
  static const char hex[] = "0123456789abcdef";
  const auto escape = [&](const char* lead, uint32_t code, std::string& out) {
    out += lead;
    for (int shift = lead[1] == 'u' ? 12 : 4; shift >= 0; shift -= 4) out += hex[(code >> shift) & 0xF];
  };
  std::string out;
  auto at = text.begin();
  while (at != text.end()) {
    const auto bad = utf8::find_invalid(at, text.end());
    while (at != bad) {
      const auto start = at;
      const uint32_t code = utf8::unchecked::next(at);
      if (code == '\n' && line_breaks) {
        out += '\n';
      } else if (code < 0x20 || code == 0x7F) {
        escape("\\x", code, out);
      } else if (code >= 0x80 && code <= 0x9F) {
        escape("\\u", code, out);
      } else {
        out.append(start, at);
      }
    }
    if (bad == text.end()) break;
    escape("\\x", static_cast<unsigned char>(*bad), out);
    at = bad + 1;
  }
  return out;
}

std::string identifier(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    out += plain ? c : '_';
  }
  return out;
}
