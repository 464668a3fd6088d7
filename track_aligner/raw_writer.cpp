#include "raw_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "console.h"
#include "frame_reader.h"
#include "platform.h"
#include "track_record.h"
#include "wav_track.h"

namespace {

// Adding this bias before truncating toward zero rounds every value that stays
// within the limits toward minus infinity.
constexpr double ROUNDING_BIAS = 100000.0;

// What one raw file is made from, allocated once before any output exists, so
// that no allocation can fail while a raw file is half written.
struct output_buffers {
  frame_block block;
  unsigned char bytes[BLOCK_FRAMES * 4];
};

bool names_any(const file_identity& id, const std::vector<file_identity>& files) {
  return std::find(files.begin(), files.end(), id) != files.end();
}

// A raw file is either complete or gone: whatever ends its writing early (a
// failed read or write, or memory running out) removes it.
struct pending_output {
  output_file& out;
  bool complete = false;
  ~pending_output() {
    if (!complete) discard_output(out);
  }
};

// Writes one track's raw file into the opened, emptied output. Returns 0, or
// the status of the failure after printing its message.
int write_track(wav_track& track, const std::string& input_path, const std::string& output_path,
                output_file& out, double output_scale, int32_t frames, output_buffers& buffers,
                int& clip_count) {
  pending_output pending{out};
  if (!empty_output(out)) {
    say("Output path is not available.\r\n");
    return STATUS_OUTPUT_UNAVAILABLE;
  }
  unsigned char last[4] = {};
  const bool is_float = track.is_float != 0;
  bool write_failed = false;
  for (int32_t done = 0; done < frames && !write_failed;) {
    const int count = frames - done < BLOCK_FRAMES ? frames - done : BLOCK_FRAMES;
    read_frames(track.fp, buffers.block, count, last);
    if (buffers.block.error) {
      say("Cannot read %s\r\n", input_path.c_str());
      return STATUS_CANNOT_OPEN;
    }
    unsigned char* o = buffers.bytes;
    for (int i = 0; i < 2 * count; ++i, o += 2) {
      const int v =
          output_value(input_value(buffers.block.bytes + 4 * i, is_float), output_scale, clip_count);
      o[0] = static_cast<unsigned char>(v & 0xFF);
      o[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
    }
    const std::size_t n = static_cast<std::size_t>(count) * 4;
    write_failed = std::fwrite(buffers.bytes, 1, n, out.fp) != n;
    done += count;
  }
  write_failed = std::fflush(out.fp) != 0 || write_failed;
  write_failed = std::fclose(out.fp) != 0 || write_failed;
  out.fp = nullptr;
  if (write_failed) {
    say("Cannot write to %s\r\n", output_path.c_str());
    return STATUS_OUTPUT_UNAVAILABLE;
  }
  pending.complete = true;
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

int write_raw_outputs(wav_track* tracks, const std::string* paths, int wav_num, const run_extremes& extremes,
                      int32_t shortest_sample) {
  // An output must never truncate an input or replace a stimulus written a
  // moment earlier; files are compared by identity, not by name.
  std::vector<file_identity> inputs;
  std::vector<file_identity> written;
  inputs.reserve(MAX_TRACKS);
  written.reserve(MAX_TRACKS);
  for (int k = 0; k < wav_num; ++k) {
    file_identity id;
    if (tracks[k].fp != nullptr && identity_of(tracks[k].fp, id)) inputs.push_back(id);
  }
  const auto buffers = std::make_unique<output_buffers>();

  for (int k = 0; k < wav_num; ++k) {
    wav_track& track = tracks[k];
    const int64_t first_frame = track.offset - extremes.smallest_delay;
    if (!file_seek(track.fp, track.data_pos + FRAME_BYTES * first_frame, SEEK_SET)) {
      say("Cannot read %s\r\n", paths[k].c_str());
      return STATUS_CANNOT_OPEN;
    }

    const std::string output_path = raw_path_for(paths[k]);
    output_file out;
    if (!open_output(output_path, out)) {
      say("Output path is not available.\r\n");
      return STATUS_OUTPUT_UNAVAILABLE;
    }
    if (names_any(out.identity, inputs) || names_any(out.identity, written)) {
      std::fclose(out.fp);  // never emptied: the file keeps its bytes
      say("Output path is not available.\r\n");
      return STATUS_OUTPUT_UNAVAILABLE;
    }

    const double output_scale = (track.gain * 32768) / (extremes.biggest_gain * OUTPUT_HEADROOM);
    int clip_count = 0;
    const int status =
        write_track(track, paths[k], output_path, out, output_scale, shortest_sample, *buffers, clip_count);
    if (status != 0) return status;
    written.push_back(out.identity);

    if (clip_count > 0) say("%s Clipped %d times.\r\n", track.label, clip_count);
    release_track(track);
  }
  return 0;
}
