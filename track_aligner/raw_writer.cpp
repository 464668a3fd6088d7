#include "raw_writer.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "console.h"
#include "frame_reader.h"
#include "wav_track.h"

namespace {

// Adding this bias before truncating toward zero rounds every value that stays
// within the limits toward minus infinity.
constexpr double ROUNDING_BIAS = 100000.0;

struct file_identity {
  dev_t device;
  ino_t inode;
};

bool identity_of(const std::string& path, file_identity& id) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  id = {info.st_dev, info.st_ino};
  return true;
}

bool names_any(const file_identity& id, const std::vector<file_identity>& files) {
  for (const file_identity& other : files) {
    if (other.device == id.device && other.inode == id.inode) return true;
  }
  return false;
}

// Writes one track's raw file. Returns 0, or the status of the failure after
// removing the incomplete file and printing its message.
int write_track(wav_track& track, const std::string& input_path, const std::string& output_path,
                double output_scale, int32_t frames, int& clip_count) {
  FILE* out = std::fopen(output_path.c_str(), "wb");
  if (out == nullptr) {
    say("Output path is not available.\r\n");
    return STATUS_OUTPUT_UNAVAILABLE;
  }
  auto block = std::make_unique<frame_block>();
  std::vector<unsigned char> bytes(static_cast<std::size_t>(BLOCK_FRAMES) * 4);
  unsigned char last[4] = {};
  const bool is_float = track.is_float != 0;
  bool write_failed = false;
  for (int32_t done = 0; done < frames && !write_failed;) {
    const int count = frames - done < BLOCK_FRAMES ? frames - done : BLOCK_FRAMES;
    read_frames(track.fp, *block, count, last);
    if (block->error) {
      std::fclose(out);
      std::remove(output_path.c_str());
      say("Cannot read %s\r\n", input_path.c_str());
      return STATUS_CANNOT_OPEN;
    }
    unsigned char* o = bytes.data();
    for (int i = 0; i < 2 * count; ++i, o += 2) {
      const int v = output_value(input_value(block->bytes + 4 * i, is_float), output_scale, clip_count);
      o[0] = static_cast<unsigned char>(v & 0xFF);
      o[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
    }
    const std::size_t n = static_cast<std::size_t>(count) * 4;
    write_failed = std::fwrite(bytes.data(), 1, n, out) != n;
    done += count;
  }
  write_failed = std::fflush(out) != 0 || write_failed;
  write_failed = std::fclose(out) != 0 || write_failed;
  if (write_failed) {
    std::remove(output_path.c_str());
    say("Cannot write to %s\r\n", output_path.c_str());
    return STATUS_OUTPUT_UNAVAILABLE;
  }
  return 0;
}

}  // namespace

std::string raw_path_for(const std::string& input_path) {
  // Decoded files are conventionally named "<codec>32b.wav"; the stimulus drops
  // that suffix. The search is case-sensitive and covers folders too.
  const std::size_t cut = input_path.find("32b.wav");
  return input_path.substr(0, cut) + ".raw";
}

double input_value(const unsigned char* bytes, bool is_float) {
  if (is_float) return static_cast<double>(load_f32(bytes));
  return static_cast<double>(static_cast<float>(load_i32(bytes) * INT_FULL_SCALE));
}

int output_value(double value, double output_scale, int& clip_count) {
  const double y = value * output_scale + ROUNDING_BIAS;
  if (std::isnan(y)) {
    ++clip_count;
    return 0;
  }
  // Truncation in double is exact for every value that is not clamped, and
  // never converts an out-of-range double to an integer.
  const double v = std::trunc(y) - ROUNDING_BIAS;
  if (v < -OUTPUT_LIMIT) {
    ++clip_count;
    return -OUTPUT_LIMIT;
  }
  if (v > OUTPUT_LIMIT) {
    ++clip_count;
    return OUTPUT_LIMIT;
  }
  return static_cast<int>(v);
}

int write_raw_outputs(wav_track* tracks, const std::string* paths, int wav_num,
                      const run_extremes& extremes, int32_t shortest_sample) {
  // An output must never truncate an input or replace a stimulus written a
  // moment earlier; files are compared by identity, not by name.
  std::vector<file_identity> inputs;
  for (int k = 0; k < wav_num; ++k) {
    struct stat info;
    if (tracks[k].fp != nullptr && fstat(fileno(tracks[k].fp), &info) == 0) {
      inputs.push_back({info.st_dev, info.st_ino});
    }
  }
  std::vector<file_identity> written;

  for (int k = 0; k < wav_num; ++k) {
    wav_track& track = tracks[k];
    const int64_t first_frame = track.offset - extremes.smallest_delay;
    fseeko(track.fp, static_cast<off_t>(track.data_pos + FRAME_BYTES * first_frame), SEEK_SET);

    const std::string output_path = raw_path_for(paths[k]);
    file_identity existing;
    if (identity_of(output_path, existing) && (names_any(existing, inputs) || names_any(existing, written))) {
      say("Output path is not available.\r\n");
      return STATUS_OUTPUT_UNAVAILABLE;
    }

    const double output_scale = (track.gain * 32768) / (extremes.biggest_gain * OUTPUT_HEADROOM);
    int clip_count = 0;
    const int status = write_track(track, paths[k], output_path, output_scale, shortest_sample, clip_count);
    if (status != 0) return status;
    file_identity made;
    if (identity_of(output_path, made)) written.push_back(made);

    if (clip_count > 0) say("%s Clipped %d times.\r\n", track.label, clip_count);
    release_track(track);
  }
  return 0;
}
