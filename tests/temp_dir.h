// A fresh folder under /tmp for one test's files, removed with everything in it
// when the test ends. Labels in the header tests show the start of such a path:
// /tmp/abchr-test-XXXXXX/name.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

struct temp_dir {
  std::string path;

  temp_dir() {
    char pattern[] = "/tmp/abchr-test-XXXXXX";
    // Without a folder of its own a test cannot run; the exception fails it.
    if (mkdtemp(pattern) == nullptr) {
      throw std::runtime_error(std::string("cannot make a test folder: ") + std::strerror(errno));
    }
    path = pattern;
  }
  ~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  std::string file(const std::string& name) const { return path + "/" + name; }
};
