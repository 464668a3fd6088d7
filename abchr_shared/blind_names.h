// The names under which a song's stimuli are served. Blind names (S1, S2 ...)
// say nothing of the codec: they are handed out in an order shuffled from a
// seed, so that S1 is not always the first encoded file of the command line.
// Readable names (the codec's) are for pilot runs.
//
// The shuffle is this program's own: a small generator and a Fisher-Yates
// pass written out here, because std::shuffle and the standard
// distributions may give other orders with another standard library, and a
// seed must name the same order on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class naming { blind, codec };

// SplitMix64: a 64-bit state stepped by a constant and mixed; every seed gives
// a full-period sequence.
struct name_shuffler {
  uint64_t state;
  uint64_t next();
  // Uniform in [0, bound) for bound >= 1, by rejection so that no value is
  // favoured.
  uint64_t below(uint64_t bound);
};

// The order in which count stimuli receive the names S1, S2 ...: order[i] is
// the stimulus (in command-line order) that is served as S(i+1). The song's
// name takes part, so that one seed given to every song of a test does not
// put the same codec behind S1 in each of them.
std::vector<std::size_t> shuffled_order(std::size_t count, uint64_t seed, std::string_view song);

// The served name of each stimulus, in command-line order: blind, S1 ...
// shuffled; codec, the codec's name as a safe file name ([A-Za-z0-9._-]),
// numbered in command-line order where two stimuli share a codec
// ("mp3-1", "mp3-2").
std::vector<std::string> stimulus_names(const std::vector<std::string>& codecs, naming how, uint64_t seed,
                                        std::string_view song);

// A decimal seed from 0 to 2^64 - 1, nothing else.
std::optional<uint64_t> parse_seed(std::string_view text);
