#include <nlohmann/json.hpp>

#include "reports.h"

namespace {

nlohmann::json stimulus_json(const std::string& song, const stimulus_entry& s) {
  nlohmann::json j;
  j["wav"] = served_path(song, s.name);
  j["input"] = s.input;
  j["codec"] = s.codec;
  j["container"] = s.container;
  j["bitrate"] = s.bitrate;
  j["input_sample_rate"] = s.input_rate;
  j["decoder"] = {{"name", s.decoder}, {"version", s.decoder_version}, {"command", s.decoder_command}};
  j["predicted_offset"] = s.predicted_offset ? nlohmann::json(*s.predicted_offset) : nlohmann::json(nullptr);
  j["offset"] = s.offset;
  j["gain"] = s.gain;
  j["gain_db"] = s.gain_db;
  j["score"] = s.score;
  j["silent"] = s.silent;
  j["clips"] = s.clips;
  return j;
}

}  // namespace

std::string report_json(const song_entry& song) {
  nlohmann::json j;
  j["program"] = PROGRAM_VERSION;
  j["song"] = song.name;
  j["sample_rate"] = song.rate;
  j["channels"] = song.channels;
  j["frames"] = song.common_frames;
  j["headroom_db"] = song.headroom_db;
  j["reference_scale_db"] = song.reference_scale_db;
  j["initial_offset"] = song.initial_offset;
  j["reference"] = stimulus_json(song.name, song.reference);
  j["stimuli"] = nlohmann::json::array();
  for (const stimulus_entry& s : song.stimuli) j["stimuli"].push_back(stimulus_json(song.name, s));
  j["warnings"] = song.warnings;
  // Doubles are written with the digits that read back to the same bits.
  return j.dump(2) + "\n";
}
