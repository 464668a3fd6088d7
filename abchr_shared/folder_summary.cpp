#include "folder_summary.h"

#include <utf8.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>

#include "beaqlejs_config.h"
#include "webmushra_config.h"

using json = nlohmann::ordered_json;

namespace {

std::string csv_field(const std::string& raw) {
  std::string text = utf8::replace_invalid(raw);
  // "=1+2", "-x", "@a" would be run as formulas; "'=x" gets its quote too, so
  // that the reader's taking off one "'" gives every cell back.
  const std::size_t first = text.find_first_not_of('\'');
  if (first != std::string::npos && std::string_view("=+-@").find(text[first]) != std::string_view::npos)
    text.insert(0, 1, '\'');
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string fixed(double value, int digits, bool sign = false) {
  char text[64];
  std::snprintf(text, sizeof text, sign ? "%+.*f" : "%.*f", digits, value);
  return text;
}

std::string seconds(int64_t frames, int64_t rate) {
  return fixed(static_cast<double>(frames) / static_cast<double>(rate), 2) + " s";
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

std::string key_csv(const folder_contents& folder, const served_hashes& hashes) {
  std::string csv =
      "song,name,file,input,codec,bitrate,sha256,webmushra_page,webmushra_mushra_page,beaqlejs_test_id\r\n";
  const std::vector<webmushra_song_pages> pages = webmushra_page_ids(folder);
  const std::vector<std::string> test_ids = beaqlejs_test_ids(folder);
  for (std::size_t n = 0; n < folder.songs.size(); ++n) {
    const song_entry& song = folder.songs[n];
    const auto hashes_of = hashes.find(song.name);
    const auto row = [&](const std::string& name, const std::string& input, const std::string& codec,
                         int64_t bitrate) {
      std::string sha256;
      if (hashes_of != hashes.end()) {
        if (const auto h = hashes_of->second.find(name); h != hashes_of->second.end()) sha256 = h->second;
      }
      const auto page = pages[n].bs1116.find(name);
      csv += csv_field(song.name) + "," + csv_field(name) + "," + csv_field(served_path(song.name, name)) +
             "," + csv_field(input) + "," + csv_field(codec) + "," +
             (bitrate > 0 ? std::to_string(bitrate) : "") + "," + csv_field(sha256) + "," +
             csv_field(page == pages[n].bs1116.end() ? "" : page->second) + "," + csv_field(pages[n].mushra) +
             "," + csv_field(test_ids[n]) + "\r\n";
    };
    row(REFERENCE_NAME, song.reference.input, "", 0);
    for (const stimulus_entry& s : song.stimuli) row(s.name, s.input, s.codec, s.bitrate);
  }
  return csv;
}

std::string summary_text(const folder_contents& folder) {
  std::string text = "Test folder " + printable(folder.title) + ": " + std::to_string(folder.songs.size()) +
                     (folder.songs.size() == 1 ? " song" : " songs") + "\n";
  for (const song_entry& song : folder.songs) {
    text += "\nSong " + printable(song.name) + " (original " + printable(song.reference.input) + ")\n";
    text += "  " + std::to_string(song.rate) + " Hz, " + std::to_string(song.channels) +
            " channels, aligned length " + std::to_string(song.common_frames) + " frames (" +
            seconds(song.common_frames, song.rate) + ")\n";
    text += "  served: frames " + std::to_string(song.served.start) + " to " +
            std::to_string(song.served.start + song.served.frames) + " (" +
            seconds(song.served.frames, song.rate) + "), fades of " + std::to_string(song.served.fade) +
            " frames, headroom " + fixed(song.headroom_db, 2) + " dB, names " +
            (song.names == naming::blind ? "blind" : "codec") + ", seed " + std::to_string(song.seed) + "\n";
    text += "  " + padded("name", 10) + padded("codec", 10) + padded("offset", 9) + padded("predicted", 11) +
            padded("gain dB", 10) + padded("score", 10) + "clips  input\n";
    for (const stimulus_entry& s : song.stimuli) {
      text += "  " + padded(s.name, 10) + padded(s.codec, 10) + padded(std::to_string(s.offset), 9) +
              padded(s.predicted_offset ? std::to_string(*s.predicted_offset) : "-", 11) +
              padded(fixed(s.gain_db, 3, true), 10) + padded(fixed(s.score, 6), 10) +
              padded(std::to_string(s.clips), 7) + printable(s.input) + "\n";
    }
    for (const std::string& warning : song.warnings) text += "  warning: " + printable(warning) + "\n";
  }
  return text;
}

std::string summary_json(const folder_contents& folder) {
  json songs = json::array();
  for (const song_entry& song : folder.songs) {
    json record = json::parse(song_record_json(song));
    record["strict"] = !beyond_strict_limit(song);
    songs.push_back(record);
  }
  const json summary = {{"test", folder.title}, {"songs", songs}};
  return summary.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
