#include "text_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t WRITE_BLOCK = 64 * 1024;

}  // namespace

void put_text(text_output& out, std::string_view text) {
  if (out.failed) return;
  while (!text.empty()) {
    const auto* const line_feed = static_cast<const char*>(std::memchr(text.data(), '\n', text.size()));
    if (line_feed == nullptr) {
      out.pending.append(text);
      break;
    }
    const auto run = static_cast<std::size_t>(line_feed - text.data());
    out.pending.append(text.data(), run);
    out.pending.append("\r\n");
    text.remove_prefix(run + 1);
  }
  if (out.pending.size() >= WRITE_BLOCK) flush_text(out);
}

bool flush_text(text_output& out) {
  std::size_t written = 0;
  while (!out.failed && written < out.pending.size()) {
    const ssize_t n = write(out.fd, out.pending.data() + written, out.pending.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      out.failed = true;
    }
  }
  out.pending.clear();
  return !out.failed;
}

bool close_text(text_output& out) {
  const bool flushed = flush_text(out);
  const bool closed = close(out.fd) == 0;
  out.fd = -1;
  out.failed = out.failed || !closed;
  return flushed && closed;
}
