#include "text_output.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t WRITE_BLOCK = 64 * 1024;

}  // namespace

void put_text(text_output& out, std::string_view text) {
  if (out.failed) return;
  if (out.pending.capacity() < 2 * WRITE_BLOCK) out.pending.reserve(2 * WRITE_BLOCK);
  // At most a block is taken in at a time, so a line of any length is
  // written without a second copy of it.
  while (!text.empty()) {
    const std::string_view piece = text.substr(0, WRITE_BLOCK);
    const auto* const line_feed = static_cast<const char*>(std::memchr(piece.data(), '\n', piece.size()));
    const std::size_t run =
        line_feed == nullptr ? piece.size() : static_cast<std::size_t>(line_feed - piece.data());
    out.pending.append(piece.data(), run);
    if (line_feed != nullptr) out.pending.append(LINE_END);
    text.remove_prefix(run + (line_feed != nullptr ? 1 : 0));
    if (out.pending.size() >= WRITE_BLOCK && !flush_text(out)) return;
  }
}

void put_message(text_output& out, std::string_view message) {
  if constexpr (!MESSAGE_KEEPS_CR) {
    for (std::size_t pair; (pair = message.find("\r\n")) != std::string_view::npos;) {
      put_text(out, message.substr(0, pair));
      put_text(out, "\n");
      message.remove_prefix(pair + 2);
    }
  }
  put_text(out, message);
}

bool flush_text(text_output& out) {
  std::size_t written = 0;
  while (!out.failed && written < out.pending.size()) {
    const long long n = write_some(out.file, out.pending.data() + written, out.pending.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else {
      // A write of nothing at all counts as a full disk.
      out.error = n < 0 ? errno : ENOSPC;
      out.failed = true;
    }
  }
  out.pending.clear();
  return !out.failed;
}
