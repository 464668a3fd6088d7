#include "alignment.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "../track_aligner/platform.h"
#include "anchor_filter.h"
#include "offset_search.h"
#include "raw_writer.h"
#include "report.h"
#include "run_memory.h"
#include "wav16.h"

namespace {

// 16-bit stereo PCM: 4 bytes a frame.
constexpr uint32_t STIMULUS_FRAME_BYTES = 4;

double headroom_factor(double headroom_db) {
  return headroom_db == 0 ? 1.0 : std::pow(10.0, -headroom_db / 20);
}

// Fades the frames of a converted block (16-bit bytes of `count` frames, the
// first of them frame `done` of the whole stimulus) that lie in the plan's
// ramps, and writes those within the excerpt. false, with errno set, when the
// write failed.
bool write_served_frames(unsigned char* bytes, int64_t done, int64_t count, const excerpt_frames& plan,
                         FILE* out) {
  const int64_t from = std::max<int64_t>(done, plan.start);
  const int64_t to = std::min<int64_t>(done + count, plan.start + plan.frames);
  for (int64_t f = from; f < to; ++f) {
    // Frame i of the excerpt lies `ramp` frames from its nearer end.
    const int64_t i = f - plan.start;
    const int64_t ramp = std::min(i, plan.frames - 1 - i);
    if (ramp >= plan.fade) continue;
    unsigned char* at = bytes + (f - done) * STIMULUS_FRAME_BYTES;
    for (int c = 0; c < 2; ++c, at += 2) {
      const auto value = static_cast<int16_t>(static_cast<uint16_t>(at[0] | at[1] << 8));
      const auto faded = static_cast<uint16_t>(faded_sample(value, ramp, plan.fade));
      at[0] = static_cast<unsigned char>(faded & 0xFF);
      at[1] = static_cast<unsigned char>(faded >> 8);
    }
  }
  if (from >= to) return true;
  const auto n = static_cast<std::size_t>((to - from) * STIMULUS_FRAME_BYTES);
  return std::fwrite(bytes + (from - done) * STIMULUS_FRAME_BYTES, 1, n, out) == n;
}

// The stretch of the reference that one pass of the anchors' filter reads:
// 16 blocks, and the taps' reach on either side.
constexpr int64_t ANCHOR_CHUNK = 16 * BLOCK_FRAMES;

}  // namespace

int align_decoded(const std::vector<std::string>& decoded, wavmatch_run& run, std::vector<bool>& silent) {
  std::vector<const char*> argv{"abchr-prepare"};
  for (const std::string& path : decoded) argv.push_back(path.c_str());
  int status = load_tracks(run, static_cast<int>(argv.size()), argv.data());
  if (status == 0) status = analyse_tracks(run);
  if (status != 0) return status;
  silent.assign(decoded.size(), false);
  for (int k = 1; k < run.wav_num; ++k) {
    silent[k] = find_offset_and_gain(run.tracks[0], run.tracks[k], run.memory->search).silent;
    widen_extremes(run.tracks[k], run.extremes);
  }
  run.shortest_sample = common_length(run.extremes, run.shortest_sample);
  return 0;
}

double stimulus_scale_db(const wavmatch_run& run, int k, double headroom_db) {
  return 20 * std::log10(output_scale_for(run.tracks[k].gain, run.extremes.biggest_gain) / 32768) -
         headroom_db;
}

bool write_stimulus(wavmatch_run& run, int k, double headroom_db, const excerpt_frames& plan,
                    const std::string& path, int& clips, std::array<double, 2>& dc, std::string& problem) {
  wav_track& track = run.tracks[k];
  std::array<int64_t, 2> sums = {0, 0};
  const int64_t data_bytes = plan.frames * STIMULUS_FRAME_BYTES;
  if (run.shortest_sample <= 0 || data_bytes > UINT32_MAX - 36 || plan.start < 0 || plan.frames < 1 ||
      plan.start + plan.frames > run.shortest_sample) {
    problem = "the common length does not fit a WAV file";
    return false;
  }
  const int64_t first_frame = track.offset - run.extremes.smallest_delay;
  if (!file_seek(track.fp, track.data_pos + FRAME_BYTES * first_frame, SEEK_SET)) {
    problem = "cannot read the decoded file: " + std::string(std::strerror(errno));
    return false;
  }
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) {
    problem = std::strerror(errno);
    return false;
  }
  const std::string header = wav16_header(track.sample_rate, 2, static_cast<uint32_t>(data_bytes));
  bool written = std::fwrite(header.data(), 1, header.size(), out) == header.size();
  int error = errno;
  bool read_failed = false;
  const double scale = output_scale_for(track.gain, run.extremes.biggest_gain) * headroom_factor(headroom_db);
  output_buffers& buffers = run.memory->output;
  const bool is_float = track.is_float != 0;
  unsigned char last[4] = {};
  clips = 0;
  for (int32_t done = 0; written && done < run.shortest_sample;) {
    const int count = run.shortest_sample - done < BLOCK_FRAMES ? run.shortest_sample - done : BLOCK_FRAMES;
    read_frames(track.fp, buffers.block, count, last);
    // A file that has shrunk since it was loaded would give a stimulus padded
    // with a constant value.
    if (buffers.block.error || buffers.block.frames < count) {
      error = buffers.block.error ? errno : 0;
      read_failed = true;
      break;
    }
    convert_values(buffers.block.bytes, 2 * count, is_float, scale, buffers.bytes, clips);
    for (int i = 0; i < 2 * count; ++i) {
      sums[static_cast<std::size_t>(i % 2)] +=
          static_cast<int16_t>(static_cast<uint16_t>(buffers.bytes[2 * i] | buffers.bytes[2 * i + 1] << 8));
    }
    written = write_served_frames(buffers.bytes, done, count, plan, out);
    if (!written) error = errno;
    done += count;
  }
  // The output values are rounded toward minus infinity, half a step low on
  // average.
  for (std::size_t c = 0; c < 2; ++c)
    dc[c] = (static_cast<double>(sums[c]) / run.shortest_sample + 0.5) / scale;
  const bool closed = std::fclose(out) == 0;
  if (written && !read_failed && !closed) error = errno;
  if (written && !read_failed && closed) return true;
  if (read_failed) {
    problem = "cannot read the decoded file" + (error != 0 ? ": " + std::string(std::strerror(error)) : "");
  } else {
    problem = std::strerror(error);
  }
  return false;
}

bool read_aligned(wavmatch_run& run, int k, int64_t first, int64_t frames,
                  std::array<std::vector<float>, 2>& channels, std::string& problem) {
  wav_track& track = run.tracks[k];
  const int64_t first_frame = track.offset - run.extremes.smallest_delay + first;
  if (!file_seek(track.fp, track.data_pos + FRAME_BYTES * first_frame, SEEK_SET)) {
    problem = "cannot read the decoded file: " + std::string(std::strerror(errno));
    return false;
  }
  for (std::vector<float>& channel : channels) channel.resize(static_cast<std::size_t>(frames));
  frame_block& block = run.memory->output.block;
  unsigned char last[4] = {};
  const bool is_float = track.is_float != 0;
  for (int64_t done = 0; done < frames;) {
    const int count = static_cast<int>(std::min<int64_t>(frames - done, BLOCK_FRAMES));
    read_frames(track.fp, block, count, last);
    if (block.error || block.frames < count) {
      problem =
          "cannot read the decoded file" + (block.error ? ": " + std::string(std::strerror(errno)) : "");
      return false;
    }
    for (int f = 0; f < count; ++f) {
      for (std::size_t c = 0; c < 2; ++c) {
        channels[c][static_cast<std::size_t>(done + f)] =
            static_cast<float>(input_value(block.bytes + FRAME_BYTES * f + 4 * c, is_float));
      }
    }
    done += count;
  }
  return true;
}

bool write_anchor(wavmatch_run& run, const std::vector<double>& taps, double headroom_db,
                  const excerpt_frames& plan, const std::string& path, int& clips, double& peak,
                  std::string& problem) {
  const int64_t frames = run.shortest_sample;
  const int64_t data_bytes = plan.frames * STIMULUS_FRAME_BYTES;
  if (frames <= 0 || data_bytes > UINT32_MAX - 36 || plan.start < 0 || plan.frames < 1 ||
      plan.start + plan.frames > frames) {
    problem = "the common length does not fit a WAV file";
    return false;
  }
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) {
    problem = std::strerror(errno);
    return false;
  }
  const std::string header = wav16_header(run.tracks[0].sample_rate, 2, static_cast<uint32_t>(data_bytes));
  bool written = std::fwrite(header.data(), 1, header.size(), out) == header.size();
  int error = errno;
  const double scale =
      output_scale_for(run.tracks[0].gain, run.extremes.biggest_gain) * headroom_factor(headroom_db);
  const auto reach = static_cast<int64_t>(taps.size() / 2);
  std::array<std::vector<float>, 2> reference;
  std::vector<double> filtered;
  unsigned char* bytes = run.memory->output.bytes;
  clips = 0;
  peak = 0;
  // Every frame is filtered, so that the clipped values of the whole
  // stimulus are counted, as for the others. A chunk of the reference is
  // read with the taps' reach on either side, so that only the song's own
  // ends see frames taken as 0.
  for (int64_t chunk = 0; written && chunk < frames; chunk += ANCHOR_CHUNK) {
    const int64_t low = std::max<int64_t>(0, chunk - reach);
    const int64_t high = std::min(frames, chunk + ANCHOR_CHUNK + reach);
    if (!read_aligned(run, 0, low, high - low, reference, problem)) {
      std::fclose(out);
      return false;
    }
    for (int64_t done = chunk; written && done < std::min(frames, chunk + ANCHOR_CHUNK);
         done += BLOCK_FRAMES) {
      filtered.resize(static_cast<std::size_t>(std::min<int64_t>(BLOCK_FRAMES, frames - done)));
      for (std::size_t c = 0; c < 2; ++c) {
        lowpass_frames(reference[c], taps, done - low, filtered);
        for (std::size_t i = 0; i < filtered.size(); ++i) {
          peak = std::max(peak, std::abs(filtered[i] * scale));
          const auto value = static_cast<uint16_t>(output_value(filtered[i], scale, clips));
          bytes[4 * i + 2 * c] = static_cast<unsigned char>(value & 0xFF);
          bytes[4 * i + 2 * c + 1] = static_cast<unsigned char>(value >> 8);
        }
      }
      written = write_served_frames(bytes, done, static_cast<int64_t>(filtered.size()), plan, out);
      if (!written) error = errno;
    }
  }
  const bool closed = std::fclose(out) == 0;
  if (written && !closed) error = errno;
  if (written && closed) return true;
  problem = std::strerror(error);
  return false;
}
