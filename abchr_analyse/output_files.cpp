#include "output_files.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>

#include "platform.h"
#include "utf8_paths.h"

namespace {

bool write_file(const std::string& path, const output_file& file, int& error) {
  std::FILE* f = std::fopen(path.c_str(), file.text_mode ? "w" : "wb");
  if (f == nullptr) {
    error = errno;
    return false;
  }
  const bool written = std::fwrite(file.text.data(), 1, file.text.size(), f) == file.text.size();
  error = written ? 0 : errno;
  if (std::fclose(f) != 0 && written) {
    error = errno;
    return false;
  }
  return written;
}

}  // namespace

bool write_results(const std::string& folder, const std::vector<output_file>& files, std::string& failed_path,
                   std::string& reason) {
  std::error_code ec;
  std::filesystem::create_directories(path_of(folder), ec);
  if (ec) {
    failed_path = folder;
    reason = "cannot make the folder: " + ec.message();
    return false;
  }
  // A signal only marks the run here: it ends it between two files, with
  // this run's temporary files removed, and never in the middle of the renames,
  // which replace the results as a whole or leave the older ones.
  run_guard guard;
  watch_signals();
  const auto stop_if_signalled = [&guard] {
    if (const int signal_number = pending_signal()) {
      undo_run(guard);
      end_by_signal(signal_number);
    }
  };
  const std::string stem =
      folder + "/.new-" + std::to_string(static_cast<long long>(std::random_device{}() & 0xFFFFFF)) + "-";
  std::vector<std::string> temporary;
  bool ok = true;
  for (const output_file& file : files) {
    stop_if_signalled();
    const std::string path = stem + file.name;
    guard_file(guard, path);
    temporary.push_back(path);
    int error = 0;
    if (!write_file(path, file, error)) {
      failed_path = folder + "/" + file.name;
      reason = "cannot write: " + system_reason(error);
      ok = false;
      break;
    }
  }
  if (ok) {
    for (std::size_t i = 0; i < files.size() && ok; ++i) {
      std::filesystem::rename(path_of(temporary[i]), path_of(folder + "/" + files[i].name), ec);
      if (ec) {
        failed_path = folder + "/" + files[i].name;
        reason = "cannot replace: " + ec.message();
        ok = false;
      }
    }
    if (ok) {
      guard.files.clear();
      // Plots of songs that this run did not analyse are an older run's.
      std::set<std::string> names;
      for (const output_file& file : files) names.insert(file.name);
      for (const auto& entry : std::filesystem::directory_iterator(path_of(folder), ec)) {
        const std::string name = text_of(entry.path().filename());
        if (name.rfind("means-", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".svg" &&
            !names.count(name))
          std::filesystem::remove(entry.path(), ec);
      }
    }
  }
  for (const std::string& path : temporary) std::filesystem::remove(path_of(path), ec);
  guard.files.clear();
  stop_if_signalled();
  return ok;
}
