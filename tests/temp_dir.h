// A fresh folder for one test's files, removed with everything in it when the
// test ends. Labels in the header tests show the start of such a path:
// /tmp/abchr-test-XXXXXX/name on Linux.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <random>
#endif

struct temp_dir {
  std::string path;

  temp_dir() {
#ifdef _WIN32
    // The system's folder for temporary files, with forward slashes so that
    // messages naming these paths read as on Linux.
    static std::mt19937_64 pick{std::random_device{}()};
    for (int attempt = 0; attempt < 10 && path.empty(); ++attempt) {
      const std::string name = "abchr-test-" + std::to_string(pick());
      const std::filesystem::path made = std::filesystem::temp_directory_path() / name;
      if (std::filesystem::create_directory(made)) path = made.generic_string();
    }
    if (path.empty()) throw std::runtime_error("cannot make a test folder");
#else
    char pattern[] = "/tmp/abchr-test-XXXXXX";
    // Without a folder of its own a test cannot run; the exception fails it.
    if (mkdtemp(pattern) == nullptr) {
      throw std::runtime_error(std::string("cannot make a test folder: ") + std::strerror(errno));
    }
    path = pattern;
#endif
  }
  ~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  std::string file(const std::string& name) const { return path + "/" + name; }
};
