// Files for the tests that run logsweep, as strings of bytes, in a folder of
// their own.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

#include "temp_dir.h"

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
