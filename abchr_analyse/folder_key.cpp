#include "folder_key.h"

#include <cerrno>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "csv_fields.h"
#include "listening_folder.h"
#include "platform.h"

namespace {

// key.csv guards a cell that a spreadsheet would read as a formula (its
// first character after any leading quotes is "=", "+", "-" or "@") with one
// more leading quote; the cell's own text follows it.
std::string unguarded(const std::string& cell) {
  const std::size_t first = cell.find_first_not_of('\'');
  if (first != 0 && first != std::string::npos &&
      (cell[first] == '=' || cell[first] == '+' || cell[first] == '-' || cell[first] == '@'))
    return cell.substr(1);
  return cell;
}

}  // namespace

bool read_whole_file(const std::string& path, std::string& text, int& error) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    error = errno;
    return false;
  }
  text.clear();
  char buffer[65536];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, got);
  const bool failed = std::ferror(f) != 0;
  error = failed ? EIO : 0;
  std::fclose(f);
  return !failed;
}

std::string folder_key::codec_of(const key_row& row) const {
  if (row.bitrate.empty()) return row.codec;
  const long long bps = std::atoll(row.bitrate.c_str());
  return row.codec + " " + std::to_string((bps + 500) / 1000) + "k";
}

const key_row* folder_key::find(const std::string& song, const std::string& name) const {
  for (const key_row& row : rows)
    if (row.song == song && row.name == name) return &row;
  return nullptr;
}

const key_row* folder_key::find_webmushra_page(const std::string& page) const {
  for (const key_row& row : rows)
    if (!page.empty() && row.webmushra_page == page) return &row;
  return nullptr;
}

bool folder_key::is_mushra_page(const std::string& page, std::string& song) const {
  for (const key_row& row : rows)
    if (!page.empty() && row.webmushra_mushra_page == page) return song = row.song, true;
  return false;
}

bool folder_key::find_beaqlejs_test(const std::string& test_id, std::string& song) const {
  for (const key_row& row : rows)
    if (!test_id.empty() && row.beaqlejs_test_id == test_id) return song = row.song, true;
  return false;
}

bool read_folder_key(const std::string& test, folder_key& key, input_problem& problem) {
  const std::string key_path = test + "/" + KEY_FILE;
  std::string text;
  int error = 0;
  if (!read_whole_file(key_path, text, error)) {
    problem = input_problem(
        key_path, 0,
        "cannot read: " + system_reason(error) + "; give the test folder that abchr-prepare made");
    return false;
  }
  std::vector<csv_record> records;
  int64_t bad_line = 0;
  std::string why;
  if (!read_csv(text, csv_dialect::rfc4180, records, bad_line, why)) {
    problem = input_problem(key_path, bad_line, why + "; let abchr-prepare write the key again");
    return false;
  }
  if (records.empty()) {
    problem = input_problem(key_path, 1, "holds no header; let abchr-prepare write the key again");
    return false;
  }
  const std::vector<std::string>& header = records[0].fields;
  const auto column = [&](const char* name) {
    for (std::size_t c = 0; c < header.size(); ++c)
      if (header[c] == name) return static_cast<int>(c);
    return -1;
  };
  const int song = column("song"), name = column("name"), file = column("file"), codec = column("codec"),
            bitrate = column("bitrate"), sha = column("sha256"), page = column("webmushra_page"),
            mushra = column("webmushra_mushra_page"), beaqlejs = column("beaqlejs_test_id");
  if (song < 0 || name < 0 || codec < 0) {
    problem = input_problem(key_path, 1,
                            "lacks the columns song, name and codec; let abchr-prepare write the key again");
    return false;
  }
  for (std::size_t r = 1; r < records.size(); ++r) {
    const csv_record& rec = records[r];
    if (rec.fields.size() != header.size()) {
      problem = input_problem(key_path, rec.line,
                              std::to_string(rec.fields.size()) + " fields where the header has " +
                                  std::to_string(header.size()) + "; let abchr-prepare write the key again");
      return false;
    }
    const auto cell = [&](int c) { return c < 0 ? std::string() : unguarded(rec.fields[c]); };
    key.rows.push_back({cell(song), cell(name), cell(file), cell(codec), cell(bitrate), cell(sha), cell(page),
                        cell(mushra), cell(beaqlejs), rec.line});
  }
  const std::string settings_path = test + "/" + SETTINGS_FILE;
  if (read_whole_file(settings_path, text, error)) {
    const nlohmann::json settings = nlohmann::json::parse(text, nullptr, false);
    if (settings.is_object() && settings.contains("id") && settings["id"].is_string())
      key.folder_id = settings["id"].get<std::string>();
  }
  return true;
}
