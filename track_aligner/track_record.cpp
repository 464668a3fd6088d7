#include "track_record.h"

#include <utf8.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform.h"

namespace {

// How many bytes of `name` fit in `width` bytes. A name in UTF-8 loses whole
// characters; any other name, whose characters cannot be told, is cut by bytes.
std::size_t label_cut(const std::string& name, std::size_t width) {
  if (!utf8::is_valid(name.begin(), name.end())) return std::min(name.size(), width);
  std::size_t whole = 0;
  for (auto at = name.begin(); at != name.end();) {
    utf8::unchecked::next(at);
    const auto length = static_cast<std::size_t>(at - name.begin());
    if (length <= width) whole = length;
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
