#include "excerpt.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace {

std::optional<double> parse_seconds(std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
  if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value) || value < 0) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<excerpt_seconds> parse_excerpt(std::string_view text) {
  const std::size_t comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  const auto start = parse_seconds(text.substr(0, comma));
  const auto length = parse_seconds(text.substr(comma + 1));
  if (!start || !length || *length <= 0) return std::nullopt;
  return excerpt_seconds{*start, *length};
}

std::optional<int> parse_fade(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value < 0 || value > 10000) return std::nullopt;
  return value;
}

excerpt_status plan_excerpt(const std::optional<excerpt_seconds>& excerpt, int fade_ms, int64_t rate,
                            int64_t common_frames, excerpt_frames& plan) {
  plan = {0, common_frames, (static_cast<int64_t>(fade_ms) * rate + 500) / 1000};
  if (excerpt) {
    const double start = std::round(excerpt->start * static_cast<double>(rate));
    const double frames = std::round(excerpt->length * static_cast<double>(rate));
    const auto common = static_cast<double>(common_frames);
    if (frames < 1 || start + frames > common) return excerpt_status::beyond_length;
    plan.start = static_cast<int64_t>(start);
    plan.frames = static_cast<int64_t>(frames);
  }
  if (2 * plan.fade > plan.frames) return excerpt_status::fade_too_long;
  return excerpt_status::ok;
}

int16_t faded_sample(int16_t sample, int64_t i, int64_t fade) {
  const int64_t scaled = std::abs(static_cast<int64_t>(sample)) * i;
  const int64_t rounded = (2 * scaled + fade) / (2 * fade);
  return static_cast<int16_t>(sample < 0 ? -rounded : rounded);
}

void apply_fades(std::vector<int16_t>& samples, int channels, int64_t fade) {
  const auto width = static_cast<std::size_t>(channels);
  const std::size_t frames = samples.size() / width;
  for (int64_t i = 0; i < fade; ++i) {
    const auto in = static_cast<std::size_t>(i) * width;
    const std::size_t out = (frames - 1 - static_cast<std::size_t>(i)) * width;
    for (std::size_t c = 0; c < width; ++c) {
      samples[in + c] = faded_sample(samples[in + c], i, fade);
      samples[out + c] = faded_sample(samples[out + c], i, fade);
    }
  }
}
