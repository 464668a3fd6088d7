#include "alignment.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "../track_aligner/platform.h"
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

bool write_stimulus(wavmatch_run& run, int k, double headroom_db, const std::string& path, int& clips,
                    std::string& problem) {
  wav_track& track = run.tracks[k];
  const int64_t data_bytes = int64_t{run.shortest_sample} * STIMULUS_FRAME_BYTES;
  if (run.shortest_sample <= 0 || data_bytes > UINT32_MAX - 36) {
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
  const double scale = output_scale_for(track.gain, run.extremes.biggest_gain) * headroom_factor(headroom_db);
  clips = 0;
  frame_copy copied = frame_copy::write_failed;
  if (written) {
    copied = write_scaled_frames(track, out, scale, run.shortest_sample, run.memory->output, clips, error);
  }
  const bool closed = std::fclose(out) == 0;
  if (written && copied == frame_copy::done && !closed) error = errno;
  if (copied == frame_copy::done && closed) return true;
  if (copied == frame_copy::read_failed || copied == frame_copy::input_shrunk) {
    problem = "cannot read the decoded file" + (error != 0 ? ": " + std::string(std::strerror(error)) : "");
  } else {
    problem = std::strerror(error);
  }
  return false;
}
