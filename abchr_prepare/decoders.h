// The decoder command for each input: the original to 32-bit integers as it
// is, every encoded file to 32-bit floats at the original's rate, so that
// nothing on the way rounds, dithers or clips the decoded signal.
#pragma once

#include <string>
#include <vector>

#include "probe.h"

// The decoders found on PATH; "" where one is missing.
struct decoder_paths {
  std::string ffmpeg;
  std::string ffprobe;
  std::string opusdec;
};

struct decode_command {
  std::string decoder;  // "ffmpeg" or "opusdec"
  std::string program;  // its full path
  std::vector<std::string> args;
};

// The original as 32-bit integer WAV: an exact copy of its samples, no
// resampling, no dither.
decode_command original_command(const decoder_paths& found, const std::string& input,
                                const std::string& output);

// An encoded file as 32-bit float WAV at `rate`. Opus goes through opusdec
// --float where it is installed, else ffmpeg's libopus decoder with the soxr
// resampler; with `resample` any other codec at another rate is resampled by
// soxr too.
decode_command encoded_command(const decoder_paths& found, const probe_result& probe,
                               const std::string& input, const std::string& output, int rate, bool resample);

// A path as ffmpeg and ffprobe must be given it: "AC:DC.wav" would name a
// protocol and "-live.mp3" an option, "file:AC:DC.wav" and "file:-live.mp3"
// name the files.
std::string file_url(const std::string& path);
// A path as opusdec must be given it: a relative one starts with "./", so
// that "-" is not standard input nor "-live.opus" an option.
std::string plain_path(const std::string& path);

// Arguments that make a decoder print its version on standard output.
std::vector<std::string> version_arguments(const std::string& decoder);
// The version in that output: "5.1.9-0+deb12u1" from "ffmpeg version 5.1.9-0+deb12u1 ...".
std::string version_from(const std::string& decoder, const std::string& output);

// The command as a person would type it, each word quoted where a shell needs it.
std::string command_line(const decode_command& command);
