// The listening page's sources (listen_page/), carried inside the program so
// that it writes them into every test folder without anything to install.
#pragma once

#include <cstddef>

struct embedded_file {
  const char* name;  // as under listen/: "index.html", "engine.js" ...
  const unsigned char* data;
  std::size_t size;
};

extern const embedded_file EMBEDDED_FILES[];
extern const std::size_t EMBEDDED_FILE_COUNT;
