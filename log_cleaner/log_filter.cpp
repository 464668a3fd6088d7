#include "log_filter.h"

#include <cerrno>
#include <new>
#include <string_view>
#include <vector>

#include "line_replay.h"

namespace {

constexpr std::size_t READ_BLOCK = 262144;

void put_line(void* context, std::string_view first, std::string_view second) {
  text_output& out = *static_cast<text_output*>(context);
  put_text(out, first);
  put_text(out, second);
  put_text(out, "\n");
  if (out.flush == FLUSH_BY_LINE) flush_text(out);
}

}  // namespace

filter_status filter_log(file_descriptor input, text_output& out, int& read_error) {
  try {
    std::vector<char> block(READ_BLOCK);
    line_replay line;
    const line_sink sink{put_line, &out};
    bool read_failed = false;
    for (;;) {
      const long long n = read_some(input, block.data(), block.size());
      if (n < 0) {
        read_failed = true;
        read_error = errno;
      }
      if (n <= 0) break;
      replay_block(line, std::string_view(block.data(), static_cast<std::size_t>(n)), sink);
      // Before waiting for more input, the lines finished so far go out.
      if (out.flush != FLUSH_BY_BLOCK) flush_text(out);
      if (out.failed) return FILTER_WRITE_FAILED;
    }
    replay_end(line, sink);
    if (!flush_text(out)) return FILTER_WRITE_FAILED;
    return read_failed ? FILTER_READ_FAILED : FILTER_DONE;
  } catch (const std::bad_alloc&) {
    flush_text(out);
    return FILTER_OUT_OF_MEMORY;
  }
}
