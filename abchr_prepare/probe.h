// What ffprobe tells of an input: its first audio stream's codec and format,
// read from ffprobe's JSON output.
#pragma once

#include <string>
#include <vector>

struct probe_result {
  std::string codec;      // ffprobe's codec_name: "mp3", "aac", "pcm_s16le"...
  std::string container;  // format_name: "mp3", "mov,mp4,m4a,3gp,3g2,mj2", "ogg"...
  int sample_rate = 0;
  int channels = 0;
  double duration = 0;    // seconds; 0 when unknown
  long long bitrate = 0;  // bits per second; 0 when unknown
  // Where the container puts the decoded stream's first sample, in seconds.
  // A container that carries the encoder's delay (an MP3's LAME header, an
  // MP4 edit list, Ogg's granule positions) gives one, and the decoder trims
  // the delay away; a bare stream (ADTS AAC) gives none.
  bool has_start = false;
  double start_time = 0;
  std::string prober_version;  // ffprobe's own version: "5.1.9-0+deb12u1"
};

// ffprobe's arguments for a path: the first audio stream, the format and its
// own version, as JSON.
std::vector<std::string> probe_arguments(const std::string& path);

// Reads ffprobe's JSON. Returns false with the reason in `problem` when the
// text is not JSON or names no audio stream.
bool parse_probe(const std::string& json_text, probe_result& probe, std::string& problem);

// Codecs that give back exactly what was encoded.
bool is_lossless_codec(const std::string& codec);
