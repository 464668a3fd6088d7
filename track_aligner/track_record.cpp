#include "track_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform.h"

namespace {

// Bytes of the UTF-8 sequence that `lead` starts, checked against the bytes
// that follow (within `rest` bytes); 0 when it is no well-formed sequence:
// a stray continuation byte, an overlong form, a surrogate, beyond U+10FFFF.
std::size_t sequence_length(const unsigned char* p, std::size_t rest) {
  const unsigned char lead = p[0];
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (rest < length || p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return length;
}

// How many bytes of `name` fit in `width` bytes. A name in UTF-8 loses whole
// characters; any other name, whose characters cannot be told, is cut by bytes.
std::size_t label_cut(const std::string& name, std::size_t width) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
  std::size_t whole = 0;
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t length = sequence_length(bytes + at, name.size() - at);
    if (length == 0) return std::min(name.size(), width);
    if (at + length <= width) whole = at + length;
    at += length;
  }
  return whole;
}

}  // namespace

void init_track(wav_track& track, double* window) {
  track.samples = window;
  track.gain = 1.0;
  track.score = 0.0;
  track.frame_num = 0;
  track.shortest_sample = 0;
  track.offset = 0;
  track.data_pos = 0;
  track.is_float = 0;
  track.sample_rate = 0;
  track.index = 9;
  track.initial_offset = std::numeric_limits<int32_t>::max();
  std::memcpy(track.label, "??? ?>**************>", LABEL_LENGTH + 1);
  track.fp = nullptr;
}

void release_track(wav_track& track) {
  track.samples = nullptr;
  if (track.fp != nullptr) std::fclose(track.fp);
  track.fp = nullptr;
}

void build_label(char (&label)[LABEL_LENGTH + 1], int index, const std::string& path) {
  // Only the backslash separates folders here, as on the platform the tool was
  // first written for; a path with forward slashes counts as one name.
  const std::size_t slash = path.rfind('\\');
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::string base = path.substr(start);
  const std::string name = base.substr(0, label_cut(base, 14));
  char text[LABEL_LENGTH + 8];
  std::snprintf(text, sizeof text, "??? %01d>%-14s>", index % 10, name.c_str());
  std::memcpy(label, text, LABEL_LENGTH);
  label[LABEL_LENGTH] = '\0';
}
