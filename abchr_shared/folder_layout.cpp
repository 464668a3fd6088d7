#include "folder_layout.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include "song_record.h"
#include "utf8_paths.h"

namespace fs = std::filesystem;

std::string new_folder_id() {
  std::random_device random;
  static const char hex[] = "0123456789abcdef";
  std::string id;
  while (id.size() < 32) {
    const unsigned int bits = random();
    for (int k = 0; k < 8; ++k) id += hex[(bits >> (4 * k)) & 0xF];
  }
  return id;
}

folder_status convert_old_layout(const std::string& test, folder_problem& problem) {
  const std::string served = test + "/" + PUBLIC_FOLDER;
  std::error_code error;
  for (const char* name : {STIMULI_FOLDER, WEBMUSHRA_FILE, BEAQLEJS_FILE}) {
    const std::string old = test + "/" + name;
    if (!fs::exists(path_of(old), error)) continue;
    const std::string now = served + "/" + name;
    if (fs::exists(path_of(now), error)) {
      problem = {old,
                 std::string("the folder holds both this and ") + PUBLIC_FOLDER + "/" + name +
                     ", which replaced it; remove this one",
                 0};
      return folder_status::refused;
    }
    fs::create_directory(path_of(served), error);
    if (!error) fs::rename(path_of(old), path_of(now), error);
    if (error) {
      problem = {old, std::string("cannot move into ") + PUBLIC_FOLDER + "/", error.value()};
      return folder_status::failed;
    }
  }

  const std::string settings_file = test + "/" + SETTINGS_FILE;
  std::ifstream in(path_of(settings_file), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  folder_settings settings;
  if (!in || !parse_folder_settings(text.str(), settings)) {
    problem = {settings_file, "not the settings of a test folder; remove it to start with the defaults", 0};
    return folder_status::refused;
  }
  if (!settings.id.empty()) return folder_status::ok;
  settings.id = new_folder_id();
  const std::string temporary = settings_file + ".tmp";
  errno = 0;
  std::ofstream out(path_of(temporary), std::ios::binary | std::ios::trunc);
  out << folder_settings_json(settings);
  out.close();
  if (out) fs::rename(path_of(temporary), path_of(settings_file), error);
  if (!out || error) {
    problem = {settings_file, "cannot write", error ? error.value() : (errno != 0 ? errno : EIO)};
    fs::remove(path_of(temporary), error);
    return folder_status::failed;
  }
  return folder_status::ok;
}
