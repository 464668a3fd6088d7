// Paths the tests use: scratch files and folders that no other test or
// process uses at the same time, and the special files of the system.
#pragma once

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

// With forward slashes on every system, so that the messages that name these
// paths read the same everywhere.
inline std::string unique_temp_path(const std::string& prefix) {
  static std::mt19937_64 pick{std::random_device{}()};
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(pick()));
  return (std::filesystem::temp_directory_path() / (prefix + suffix)).generic_string();
}

// A fresh folder, or "" if none could be made.
inline std::string make_temp_folder(const std::string& prefix) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    const std::string path = unique_temp_path(prefix);
    std::error_code failed;
    if (std::filesystem::create_directory(path, failed)) return path;
  }
  return "";
}

// True where `path` is one of Linux's special files (/dev/full, /proc/self/mem)
// and the system has it. Windows has none; under wine the host's would show
// through drive Z: without behaving as they do on Linux.
inline bool has_special_file([[maybe_unused]] const std::string& path) {
#ifdef _WIN32
  return false;
#else
  return std::filesystem::exists(path);
#endif
}
