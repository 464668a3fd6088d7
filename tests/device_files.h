// Linux's special files that some tests use to make a failure happen: a
// device that takes no byte (/dev/full), a file whose reads fail
// (/proc/self/mem), standard input as a path (/dev/stdin).
#pragma once

#include <filesystem>
#include <string>

// True where the system has `path`. Windows has none of them; under wine the
// host's would show through drive Z: without behaving as they do on Linux.
inline bool has_special_file([[maybe_unused]] const std::string& path) {
#ifdef _WIN32
  return false;
#else
  return std::filesystem::exists(path);
#endif
}
