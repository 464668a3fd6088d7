#include <cstdio>

#include "decoders.h"
#include "reports.h"

namespace {

std::string formatted(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string bitrate_text(long long bitrate) {
  return bitrate > 0 ? std::to_string((bitrate + 500) / 1000) + " kbit/s" : "unknown";
}

std::string stimulus_text(const std::string& song, const stimulus_entry& s, bool reference) {
  std::string t = (reference ? "reference " : "stimulus  ") + printable(served_path(song, s.name)) + "\n";
  t += "  input      " + printable(s.input) + "\n";
  t += "  format     " + s.codec + " in " + s.container + ", " + bitrate_text(s.bitrate) + ", " +
       std::to_string(s.input_rate) + " Hz\n";
  t += "  decoder    " + s.decoder + " " + s.decoder_version + "\n";
  decode_command command{s.decoder, s.decoder_command.empty() ? "" : s.decoder_command[0], {}};
  if (!s.decoder_command.empty()) command.args.assign(s.decoder_command.begin() + 1, s.decoder_command.end());
  t += "  command    " + printable(command_line(command)) + "\n";
  if (!reference) {
    t += "  offset     " + std::to_string(s.offset) + " frames measured, " +
         (s.predicted_offset ? std::to_string(*s.predicted_offset) + " predicted by the container"
                             : "none predicted (the container carries no delay)") +
         "\n";
    t += "  gain       " + formatted("%f", s.gain) + " (" + formatted("%+.3f", s.gain_db) + " dB)\n";
    t += "  score      " + formatted("%f", s.score) + "\n";
  }
  t += "  clipped    " + std::to_string(s.clips) + " values\n";
  return t;
}

}  // namespace

std::string report_text(const song_entry& song) {
  std::string t = std::string(PROGRAM_VERSION) + ": " + printable(song.name) + "\n\n";
  t += "sample rate  " + std::to_string(song.rate) + " Hz, " + std::to_string(song.channels) +
       " channels, 16-bit WAV\n";
  t += "length       " + std::to_string(song.common_frames) + " frames (" +
       formatted("%.3f", static_cast<double>(song.common_frames) / static_cast<double>(song.rate)) +
       " s) in every stimulus\n";
  t += "headroom     " + formatted("%.2f", song.headroom_db) + " dB applied (the reference changed by " +
       formatted("%+.2f", song.reference_scale_db) + " dB)\n\n";
  t += stimulus_text(song.name, song.reference, true);
  for (const stimulus_entry& s : song.stimuli) t += "\n" + stimulus_text(song.name, s, false);
  t += "\nwarnings     " + std::to_string(song.warnings.size()) + "\n";
  for (const std::string& w : song.warnings) t += "  " + printable(w) + "\n";
  return t;
}
