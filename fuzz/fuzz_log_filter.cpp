// libFuzzer target: any bytes as a console log for logsweep's replay and its
// whole pass over a file.
//  - The replay must give the same lines however the log is cut into blocks
//    (the first byte chooses the block sizes), and never more text than came
//    in: one line per line feed plus the last, no byte that was not written.
//  - The pass from an input file to an output file must write exactly those
//    lines, ended in LF as on every POSIX system, and must report a failing
//    output.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "log_filter.h"
#include "replay_in_memory.h"
#include "text_output.h"

namespace {

int memory_file(std::string_view bytes) {
  const int fd = memfd_create("fuzz.log", 0);
  if (fd < 0) return -1;
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string file_contents(int fd) {
  std::string contents;
  lseek(fd, 0, SEEK_SET);
  char block[4096];
  for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;)
    contents.append(block, static_cast<std::size_t>(n));
  return contents;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t block_seed = data[0];
  const std::string_view log(reinterpret_cast<const char*>(data) + 1, size - 1);

  const std::string whole = replay_log(log);
  line_replay line;
  std::string pieces;
  for (std::size_t at = 0, step = 0; at < log.size(); ++step) {
    const std::size_t block = 1 + (block_seed * (step + 1)) % 13;
    replay_block(line, log.substr(at, block), pieces);
    at += block;
  }
  replay_end(line, pieces);
  if (pieces != whole) __builtin_trap();

  const auto line_feeds = static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
  const auto returns = static_cast<std::size_t>(std::count(log.begin(), log.end(), '\r'));
  if (static_cast<std::size_t>(std::count(whole.begin(), whole.end(), '\n')) != line_feeds + 1)
    __builtin_trap();
  if (whole.size() > log.size() - returns + 1) __builtin_trap();

  const int input = memory_file(log);
  const int output = memory_file("");
  if (input < 0 || output < 0) return 0;
  text_output good{output, {}, false};
  int read_error = 0;
  if (filter_log(input, good, read_error) != FILTER_DONE) __builtin_trap();
  if (file_contents(output) != whole) __builtin_trap();

  // An output that refuses every write: the pass must say so.
  lseek(input, 0, SEEK_SET);
  text_output failing{-1, {}, false};
  if (filter_log(input, failing, read_error) != FILTER_WRITE_FAILED) __builtin_trap();

  close(input);
  close(output);
  return 0;
}
