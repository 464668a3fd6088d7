#include "track_record.h"

#include <cstdio>
#include <cstring>
#include <limits>

void init_track(wav_track& track, double* window) {
  track.samples = window;
  track.gain = 1.0;
  track.score = 0.0;
  track.frame_num = 0;
  track.shortest_sample = 0;
  track.offset = 0;
  track.data_pos = 0;
  track.is_float = 0;
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
  const std::string name = path.substr(start, 14);
  char text[LABEL_LENGTH + 8];
  std::snprintf(text, sizeof text, "??? %01d>%-14s>", index % 10, name.c_str());
  std::memcpy(label, text, LABEL_LENGTH);
  label[LABEL_LENGTH] = '\0';
}
