// The replay of a log held in memory, each line appended to a string with a
// line feed: how the tests and the fuzz target drive line_replay.h.
#pragma once

#include <string>
#include <string_view>

#include "line_replay.h"

inline void append_line(void* context, std::string_view first, std::string_view second) {
  std::string& lines = *static_cast<std::string*>(context);
  lines.append(first);
  lines.append(second);
  lines.push_back('\n');
}

inline void replay_block(line_replay& line, std::string_view input, std::string& lines) {
  replay_block(line, input, line_sink{append_line, &lines});
}

inline void replay_end(line_replay& line, std::string& lines) {
  replay_end(line, line_sink{append_line, &lines});
}

inline std::string replay_log(std::string_view log) {
  line_replay line;
  std::string lines;
  replay_block(line, log, lines);
  replay_end(line, lines);
  return lines;
}
