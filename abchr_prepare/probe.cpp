#include "probe.h"

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "decoders.h"

namespace {

// ffprobe writes most numbers as JSON strings ("44100", "6.000000").
double number_of(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end()) return 0;
  if (found->is_number()) return found->get<double>();
  if (found->is_string()) return std::strtod(found->get<std::string>().c_str(), nullptr);
  return 0;
}

std::string json_text(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// A count from a file that anyone may have made: a value beyond what any real
// stream has (1e300, not a number, negative) counts as unknown, 0, rather than
// becoming undefined behaviour in a conversion.
template <typename integer>
integer count_of(double value, double most) {
  return std::isfinite(value) && value > 0 && value <= most ? static_cast<integer>(value) : 0;
}

}  // namespace

std::vector<std::string> probe_arguments(const std::string& path) {
  return {"-v",  "error", "-show_program_version", "-select_streams", "a:0", "-show_streams", "-show_format",
          "-of", "json",  file_url(path)};
}

bool parse_probe(const std::string& text, probe_result& probe, std::string& problem) {
  const nlohmann::json root = nlohmann::json::parse(text, nullptr, false);
  if (root.is_discarded() || !root.is_object()) {
    problem = "ffprobe gave no readable description";
    return false;
  }
  const auto streams = root.find("streams");
  if (streams == root.end() || !streams->is_array() || streams->empty() || !(*streams)[0].is_object()) {
    problem = "holds no audio stream";
    return false;
  }
  const nlohmann::json& stream = (*streams)[0];
  const auto format_found = root.find("format");
  const nlohmann::json format =
      format_found != root.end() && format_found->is_object() ? *format_found : nlohmann::json::object();
  probe.codec = json_text(stream, "codec_name");
  probe.container = json_text(format, "format_name");
  probe.sample_rate = count_of<int>(number_of(stream, "sample_rate"), 1e7);
  probe.channels = count_of<int>(number_of(stream, "channels"), 1024);
  // A week of music at most; beyond, the length is unknown.
  constexpr double LONGEST_SECONDS = 7 * 24 * 3600.0;
  probe.duration = count_of<double>(number_of(stream, "duration"), LONGEST_SECONDS);
  if (probe.duration == 0) probe.duration = count_of<double>(number_of(format, "duration"), LONGEST_SECONDS);
  probe.bitrate = count_of<long long>(number_of(stream, "bit_rate"), 1e12);
  if (probe.bitrate == 0) probe.bitrate = count_of<long long>(number_of(format, "bit_rate"), 1e12);
  const auto program = root.find("program_version");
  if (program != root.end() && program->is_object()) probe.prober_version = json_text(*program, "version");
  probe.has_start = stream.contains("start_time");
  probe.start_time = number_of(stream, "start_time");
  if (!std::isfinite(probe.start_time)) probe.start_time = 0;
  if (probe.codec.empty() || probe.sample_rate <= 0) {
    problem = "holds no audio stream that ffprobe can describe";
    return false;
  }
  return true;
}

bool is_lossless_codec(const std::string& codec) {
  if (codec.rfind("pcm_", 0) == 0) return true;
  static const char* const lossless[] = {"flac",    "alac", "wavpack", "ape",    "tta", "tak",
                                         "shorten", "mlp",  "truehd",  "mp4als", "ralf"};
  for (const char* name : lossless) {
    if (codec == name) return true;
  }
  return false;
}
