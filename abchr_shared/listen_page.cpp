#include "listen_page.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "listen_page_files.h"
#include "sha256.h"
#include "utf8_paths.h"

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

std::string join(const std::string& folder, const std::string& name) { return folder + "/" + name; }

bool read_bytes(const std::string& path, std::string& bytes) {
  errno = 0;
  std::ifstream in(path_of(path), std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  bytes = all.str();
  if (in.bad() && errno == 0) errno = EIO;
  return !in.bad();
}

bool write_bytes(const std::string& path, const std::string& bytes) {
  errno = 0;
  std::ofstream out(path_of(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out && errno == 0) errno = EIO;
  return static_cast<bool>(out);
}

// RFC 4648 base64 with padding, as the browser's atob reads it.
std::string base64(const std::string& bytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) text += digits[(v >> shift) & 63];
  }
  if (const std::size_t left = bytes.size() - i; left > 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (left == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    text += digits[(v >> 18) & 63];
    text += digits[(v >> 12) & 63];
    text += left == 2 ? digits[(v >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

std::string script_call(const std::string& function, const std::string& arguments) {
  return "abchrListen." + function + "(" + arguments + ");\n";
}

std::string json_text(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

folder_status write_failure(folder_problem& problem, const std::string& path) {
  problem = {path, "cannot write", errno};
  return folder_status::failed;
}

}  // namespace

folder_status write_listen_page(const folder_contents& contents, const listen_choices& choices,
                                const std::string& stimuli, const std::string& new_song,
                                const std::string& new_song_folder, const std::string& into,
                                served_hashes& hashes_out, folder_problem& problem) {
  const std::string data = join(into, LISTEN_DATA_FOLDER);
  std::error_code error;
  fs::create_directory(path_of(data), error);
  if (error) {
    problem = {data, "cannot make", error.value()};
    return folder_status::failed;
  }
  for (std::size_t i = 0; i < EMBEDDED_FILE_COUNT; ++i) {
    const embedded_file& file = EMBEDDED_FILES[i];
    const std::string path = join(into, file.name);
    if (!write_bytes(path, std::string(reinterpret_cast<const char*>(file.data), file.size)))
      return write_failure(problem, path);
  }
  json songs = json::array();
  for (std::size_t n = 0; n < contents.songs.size(); ++n) {
    const song_entry& song = contents.songs[n];
    const std::string folder = song.name == new_song ? new_song_folder : join(stimuli, song.name);
    const std::string file = std::to_string(n + 1) + ".js";
    json names = json::array();
    json mushra_only = json::array();
    json hashes = json::object();
    json wavs = json::object();
    std::vector<std::string> served = {REFERENCE_NAME};
    for (const stimulus_entry* s : in_served_order(song)) {
      served.push_back(s->name);
      // The anchors of a MUSHRA page are graded there alone: an ABC/HR
      // trial of a low-pass filter tells nothing of a codec.
      (s->codec.rfind(ANCHOR_CODEC_PREFIX, 0) == 0 ? mushra_only : names).push_back(s->name);
    }
    for (const std::string& name : served) {
      const std::string path = join(folder, name + ".wav");
      std::string bytes;
      if (!read_bytes(path, bytes)) {
        problem = {path, "cannot read this served file", errno};
        return folder_status::failed;
      }
      const std::string hash = sha256_hex(bytes.data(), bytes.size());
      hashes[name] = hash;
      hashes_out[song.name][name] = hash;
      wavs[name] = base64(bytes);
    }
    const std::string path = join(data, file);
    const json record = {{"song", displayable(song.name)}, {"wav", std::move(wavs)}};
    if (!write_bytes(path, script_call("registerSong", std::to_string(n + 1) + ", " + json_text(record))))
      return write_failure(problem, path);
    songs.push_back({{"song", displayable(song.name)},
                     {"data", std::string(LISTEN_DATA_FOLDER) + "/" + file},
                     {"stimuli", std::move(names)},
                     {"mushra_only", std::move(mushra_only)},
                     {"sha256", std::move(hashes)}});
  }
  const json test = {{"format", "abchr-listen-test"},
                     {"version", 1},
                     {"folder_id", choices.folder_id},
                     {"results_url", contents.settings.results_url},
                     {"mushra", contents.settings.mushra_pages},
                     {"abx", contents.settings.abx_trials},
                     {"songs", std::move(songs)}};
  const std::string path = join(data, "test.js");
  if (!write_bytes(path, script_call("registerTest", json_text(test)))) return write_failure(problem, path);
  return folder_status::ok;
}
