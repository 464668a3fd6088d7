#include "output_folder.h"

#include <filesystem>

#include "utf8_paths.h"

namespace fs = std::filesystem;

std::string default_output(const std::string& original) {
  const fs::path path = path_of(original);
  return text_of(path.parent_path() / path_of(text_of(path.stem()) + "-abchr"));
}

void discard_work_folder(const std::string& work, run_guard& guard) {
  std::error_code ignored;
  fs::remove_all(path_of(work), ignored);
  guard.files.clear();
  guard.folders.clear();
}
