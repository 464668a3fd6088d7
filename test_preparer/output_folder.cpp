#include "output_folder.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "prepare.h"
#include "reports.h"
#include "utf8_paths.h"

namespace {

namespace fs = std::filesystem;

// A sibling of `folder` that no one else uses: ".NAME.TAG-XXXXXXXX".
fs::path sibling(const std::string& folder, const char* tag) {
  const fs::path final_path = path_of(folder);
  std::random_device random;
  const unsigned value = random();
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%08x", value);
  fs::path name = final_path.filename();
  if (name.empty()) name = final_path.parent_path().filename();
  std::string hidden(".");
  hidden.append(text_of(name)).append(".").append(tag).append("-").append(suffix);
  return final_path.parent_path() / path_of(hidden);
}

// The folder holds a report.json that this program wrote.
bool holds_our_report(const fs::path& folder) {
  std::ifstream in(folder / "report.json", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text.find("\"program\": \"abchr-prepare ") != std::string::npos;
}

// `inner` is `outer` or lies inside it, by their real paths.
bool within(const fs::path& inner, const fs::path& outer) {
  std::error_code ec;
  const fs::path a = fs::weakly_canonical(inner, ec);
  const fs::path b = fs::weakly_canonical(outer, ec);
  auto ia = a.begin();
  for (auto ib = b.begin(); ib != b.end(); ++ib, ++ia) {
    if (ib->empty() && std::next(ib) == b.end()) break;  // a trailing separator
    if (ia == a.end() || *ia != *ib) return false;
  }
  return true;
}

}  // namespace

std::string default_output(const std::string& original) {
  const fs::path path = path_of(original);
  return text_of(path.parent_path() / path_of(text_of(path.stem()) + "-abchr"));
}

int check_output(const std::string& folder, bool force, const std::vector<std::string>& inputs) {
  const fs::path path = path_of(folder);
  for (const std::string& input : inputs) {
    if (within(path_of(input), path)) {
      complain(folder, "the output folder would replace the input " + input + "; choose another with -o");
      return PREPARE_OUTPUT_FAILED;
    }
  }
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (fs::exists(status)) {
    if (!fs::is_directory(status)) {
      complain(folder, "exists and is not a folder; choose another with -o");
      return PREPARE_OUTPUT_FAILED;
    }
    if (!force) {
      complain(folder, "exists already; pass --force to replace it, or choose another with -o");
      return PREPARE_OUTPUT_FAILED;
    }
    if (!holds_our_report(path)) {
      complain(folder,
               "holds no report of abchr-prepare, so --force leaves it alone; choose another with -o");
      return PREPARE_OUTPUT_FAILED;
    }
  }
  const fs::path parent = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  if (!fs::is_directory(parent, ec)) {
    complain(folder, "its parent folder does not exist; make it first");
    return PREPARE_OUTPUT_FAILED;
  }
  return 0;
}

int make_work_folder(const std::string& folder, run_guard& guard, std::string& work) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = sibling(folder, "abchr-tmp");
    std::error_code ec;
    guard_folder(guard, text_of(candidate));
    if (fs::create_directory(candidate, ec)) {
      work = text_of(candidate);
      return 0;
    }
    hold_signals();
    guard.folders.pop_back();
    release_signals();
    if (ec) {
      complain(folder, "cannot make a folder beside it: " + ec.message());
      return PREPARE_OUTPUT_FAILED;
    }
  }
  complain(folder, "cannot make a folder beside it");
  return PREPARE_OUTPUT_FAILED;
}

int place_folder(const std::string& work, const std::string& folder, run_guard& guard) {
  hold_signals();
  std::error_code ec;
  const fs::path final_path = path_of(folder);
  fs::path old;
  std::error_code missing;
  if (fs::exists(fs::symlink_status(final_path, missing))) {
    old = sibling(folder, "abchr-old");
    fs::rename(final_path, old, ec);
  }
  if (!ec) fs::rename(path_of(work), final_path, ec);
  int status = 0;
  if (ec) {
    complain(folder, "cannot put the stimuli in place: " + ec.message());
    std::error_code ignored;
    if (!old.empty() && !fs::exists(final_path, ignored)) fs::rename(old, final_path, ignored);
    fs::remove_all(path_of(work), ignored);
    status = PREPARE_OUTPUT_FAILED;
  } else {
    std::error_code ignored;
    if (!old.empty()) fs::remove_all(old, ignored);
  }
  guard.files.clear();
  guard.folders.clear();
  release_signals();
  return status;
}

void discard_work_folder(const std::string& work, run_guard& guard) {
  hold_signals();
  std::error_code ignored;
  fs::remove_all(path_of(work), ignored);
  guard.files.clear();
  guard.folders.clear();
  release_signals();
}
