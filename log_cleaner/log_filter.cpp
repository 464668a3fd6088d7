#include "log_filter.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "line_replay.h"

namespace {

constexpr std::size_t READ_BLOCK = 64 * 1024;

}  // namespace

filter_status filter_log(int input_fd, text_output& out) {
  std::vector<char> block(READ_BLOCK);
  line_replay line;
  std::string lines;
  bool read_failed = false;
  for (;;) {
    const ssize_t n = read(input_fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) read_failed = true;
    if (n <= 0) break;
    replay_block(line, std::string_view(block.data(), static_cast<std::size_t>(n)), lines);
    put_text(out, lines);
    lines.clear();
    if (out.failed) return FILTER_WRITE_FAILED;
  }
  replay_end(line, lines);
  put_text(out, lines);
  if (!flush_text(out)) return FILTER_WRITE_FAILED;
  return read_failed ? FILTER_READ_FAILED : FILTER_DONE;
}
