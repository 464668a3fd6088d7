// Paths are UTF-8 text throughout the program; std::filesystem takes and gives
// them as char8_t strings in C++20 (and as UTF-16 inside, on Windows).
#pragma once

#include <filesystem>
#include <string>

inline std::filesystem::path path_of(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string text_of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
