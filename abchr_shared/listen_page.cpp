#include "listen_page.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>
#include <vector>

#include "listen_page_files.h"
#include "sha256.h"
#include "utf8_paths.h"

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

std::string join(const std::string& folder, const std::string& name) { return folder + "/" + name; }

bool write_bytes(const std::string& path, const std::string& bytes) {
  errno = 0;
  std::ofstream out(path_of(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out && errno == 0) errno = EIO;
  return static_cast<bool>(out);
}

// RFC 4648 base64 with padding, as the browser's atob reads it, of `size`
// bytes appended to `text`. Pieces of a longer run must be multiples of three
// bytes, all but the last, so that no padding falls inside the run.
void append_base64(std::string& text, const unsigned char* bytes, std::size_t size) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t v = uint32_t{bytes[i]} << 16 | uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    const char quad[4] = {digits[v >> 18], digits[(v >> 12) & 63], digits[(v >> 6) & 63], digits[v & 63]};
    text.append(quad, 4);
  }
  if (const std::size_t left = size - i; left > 0) {
    uint32_t v = uint32_t{bytes[i]} << 16;
    if (left == 2) v |= uint32_t{bytes[i + 1]} << 8;
    text += digits[(v >> 18) & 63];
    text += digits[(v >> 12) & 63];
    text += left == 2 ? digits[(v >> 6) & 63] : '=';
    text += '=';
  }
}

// Streams one served file into a song's data script, as a base64 string,
// and into its digest: a file of minutes is never held whole. Returns false
// with `read_failed` telling which side failed.
bool copy_as_base64(const std::string& path, std::ofstream& out, std::string& hash, bool& read_failed) {
  errno = 0;
  std::ifstream in(path_of(path), std::ios::binary);
  read_failed = true;
  if (!in) return false;
  sha256_state digest;
  std::vector<char> piece(3 * 65536);
  std::string text;
  text.reserve(piece.size() / 3 * 4 + 4);
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
    const auto got = static_cast<std::size_t>(in.gcount());
    sha256_take(digest, piece.data(), got);
    text.clear();
    append_base64(text, reinterpret_cast<const unsigned char*>(piece.data()), got);
    if (!out.write(text.data(), static_cast<std::streamsize>(text.size()))) {
      read_failed = false;
      return false;
    }
  }
  if (in.bad()) {
    if (errno == 0) errno = EIO;
    return false;
  }
  hash = sha256_finish(digest);
  return true;
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
    std::vector<std::string> served = {REFERENCE_NAME};
    for (const stimulus_entry* s : in_served_order(song)) {
      served.push_back(s->name);
      // The anchors of a MUSHRA page are graded there alone: an ABC/HR
      // trial of a low-pass filter tells nothing of a codec.
      (s->codec.rfind(ANCHOR_CODEC_PREFIX, 0) == 0 ? mushra_only : names).push_back(s->name);
    }
    // registerSong(N, {"song": ..., "wav": {NAME: BASE64, ...}}), written as
    // nlohmann's compact dump would write it, the base64 streamed in place.
    const std::string path = join(data, file);
    errno = 0;
    std::ofstream out(path_of(path), std::ios::binary | std::ios::trunc);
    out << "abchrListen.registerSong(" << n + 1 << ", {\"song\":" << json_text(displayable(song.name))
        << ",\"wav\":{";
    if (!out) return write_failure(problem, path);
    for (std::size_t k = 0; k < served.size(); ++k) {
      const std::string& name = served[k];
      out << (k == 0 ? "" : ",") << json_text(name) << ":\"";
      const std::string wav = join(folder, name + ".wav");
      std::string hash;
      bool read_failed = false;
      if (!copy_as_base64(wav, out, hash, read_failed)) {
        if (!read_failed) return write_failure(problem, path);
        problem = {wav, "cannot read this served file", errno};
        return folder_status::failed;
      }
      out << '"';
      hashes[name] = hash;
      hashes_out[song.name][name] = hash;
    }
    out << "}});\n";
    out.close();
    if (!out) {
      if (errno == 0) errno = EIO;
      return write_failure(problem, path);
    }
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
