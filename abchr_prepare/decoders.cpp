#include "decoders.h"

#include <filesystem>

#include "utf8_paths.h"

namespace {

std::vector<std::string> ffmpeg_head(const std::string& input) {
  // -nostdin: never read the terminal; -v error: only what went wrong.
  return {"-nostdin", "-v", "error", "-y", "-i", file_url(input), "-map", "0:a:0", "-map_metadata", "-1"};
}

bool is_ogg(const std::string& container) {
  for (std::size_t start = 0;;) {
    const std::size_t end = container.find(',', start);
    if (container.compare(start, end - start, "ogg") == 0) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

// soxr's resampler, in ffmpeg's float pipeline: no conversion to integers.
void add_resampling(std::vector<std::string>& args, int rate) {
  args.insert(args.end(), {"-af", "aresample=resampler=soxr", "-ar", std::to_string(rate)});
}

std::string base_name(const std::string& program) { return text_of(path_of(program).filename()); }

}  // namespace

std::string file_url(const std::string& path) { return "file:" + path; }

std::string plain_path(const std::string& path) { return path_of(path).is_absolute() ? path : "./" + path; }

decode_command original_command(const decoder_paths& found, const std::string& input,
                                const std::string& output) {
  decode_command command{"ffmpeg", found.ffmpeg, ffmpeg_head(input)};
  command.args.insert(command.args.end(), {"-c:a", "pcm_s32le", "-f", "wav", file_url(output)});
  return command;
}

decode_command encoded_command(const decoder_paths& found, const probe_result& probe,
                               const std::string& input, const std::string& output, int rate, bool resample) {
  // opusdec reads Ogg alone; Opus in Matroska, WebM or MP4 goes to ffmpeg.
  if (probe.codec == "opus" && is_ogg(probe.container) && !found.opusdec.empty()) {
    return {"opusdec",
            found.opusdec,
            {"--quiet", "--float", "--rate", std::to_string(rate), plain_path(input), plain_path(output)}};
  }
  decode_command command{"ffmpeg", found.ffmpeg, {}};
  if (probe.codec == "opus") {
    // The decoder is chosen before the input it applies to.
    command.args = {"-c:a", "libopus"};
    const std::vector<std::string> head = ffmpeg_head(input);
    command.args.insert(command.args.end(), head.begin(), head.end());
    add_resampling(command.args, rate);
  } else {
    command.args = ffmpeg_head(input);
    if (resample && probe.sample_rate != rate) add_resampling(command.args, rate);
  }
  command.args.insert(command.args.end(), {"-c:a", "pcm_f32le", "-f", "wav", file_url(output)});
  return command;
}

std::vector<std::string> version_arguments(const std::string& decoder) {
  if (decoder == "opusdec") return {"--version"};
  return {"-hide_banner", "-version"};
}

std::string version_from(const std::string& decoder, const std::string& output) {
  const std::string line = output.substr(0, output.find('\n'));
  // "ffmpeg version 5.1.9-0+deb12u1 Copyright ..." and "opusdec opus-tools 0.2 (using libopus 1.3.1)".
  const std::string lead = decoder == "opusdec" ? "opusdec " : decoder + " version ";
  if (line.rfind(lead, 0) != 0) return line;
  std::string version = line.substr(lead.size());
  if (decoder != "opusdec") version = version.substr(0, version.find(' '));
  while (!version.empty() && (version.back() == '\r' || version.back() == ' ')) version.pop_back();
  return version;
}

std::string command_line(const decode_command& command) {
  std::string line = base_name(command.program);
  for (const std::string& arg : command.args) {
    line += ' ';
    if (!arg.empty() && arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                              "-_./:=+,%@") == std::string::npos) {
      line += arg;
      continue;
    }
    line += '\'';
    for (const char c : arg) {
      if (c == '\'')
        line += "'\\''";
      else
        line += c;
    }
    line += '\'';
  }
  return line;
}
