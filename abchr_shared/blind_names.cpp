#include "blind_names.h"

#include <numeric>

uint64_t name_shuffler::next() {
  state += 0x9E3779B97F4A7C15u;
  uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

uint64_t name_shuffler::below(uint64_t bound) {
  // The largest multiple of bound that fits: values at or above it would
  // make the low residues more likely.
  const uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
  uint64_t value = next();
  while (value >= limit) value = next();
  return value % bound;
}

namespace {

// FNV-1a over the song's name: the same number on every system.
uint64_t name_hash(std::string_view text) {
  uint64_t hash = 0xCBF29CE484222325u;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3u;
  }
  return hash;
}

std::string safe_file_name(std::string_view text) {
  std::string safe;
  for (const char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    safe += plain ? c : '_';
  }
  // The reference is served as reference.wav beside the stimuli.
  if (safe.empty() || safe.front() == '.' || safe == "reference") safe.insert(0, "codec_");
  return safe;
}

}  // namespace

std::vector<std::size_t> shuffled_order(std::size_t count, uint64_t seed, std::string_view song) {
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  name_shuffler shuffler{seed ^ name_hash(song)};
  for (std::size_t i = count; i > 1; --i) {
    const auto j = static_cast<std::size_t>(shuffler.below(i));
    std::swap(order[i - 1], order[j]);
  }
  return order;
}

std::vector<std::string> stimulus_names(const std::vector<std::string>& codecs, naming how, uint64_t seed,
                                        std::string_view song) {
  std::vector<std::string> names(codecs.size());
  if (how == naming::blind) {
    const std::vector<std::size_t> order = shuffled_order(codecs.size(), seed, song);
    for (std::size_t i = 0; i < order.size(); ++i)
      names[order[i]] = std::string(1, 'S').append(std::to_string(i + 1));
    return names;
  }
  for (std::size_t i = 0; i < codecs.size(); ++i) {
    names[i] = safe_file_name(codecs[i]);
    std::size_t same = 0;
    std::size_t position = 0;
    for (std::size_t j = 0; j < codecs.size(); ++j) {
      if (safe_file_name(codecs[j]) != names[i]) continue;
      ++same;
      if (j <= i) position = same;
    }
    if (same > 1) names[i].append(1, '-').append(std::to_string(position));
  }
  return names;
}

std::optional<uint64_t> parse_seed(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}
