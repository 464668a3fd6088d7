// The output phase of wavmatch2 done one value at a time, for the whole-run
// benchmark's comparison: every input value is read with four fgetc calls and
// every output value written with two fputc calls, through the same value
// conversions as the program, so the raw files come out byte for byte the same.
//
// The program's own writer is compiled into this file under another name, so
// that the loop below shares its value conversions rather than copying them.
#define write_raw_outputs write_raw_outputs_by_block
#include "raw_writer.cpp"
#undef write_raw_outputs

namespace {

// Reads one 4-byte value; past the end of the file the last value read repeats,
// as in the block reader.
bool read_value(FILE* in, unsigned char (&last)[4]) {
  unsigned char value[4];
  for (unsigned char& byte : value) {
    const int c = std::fgetc(in);
    if (c == EOF) return std::ferror(in) == 0;
    byte = static_cast<unsigned char>(c);
  }
  std::memcpy(last, value, 4);
  return true;
}

int write_track_per_value(wav_track& track, const std::string& input_path, const std::string& output_path,
                          double output_scale, int32_t frames, int& clip_count) {
  FILE* out = std::fopen(output_path.c_str(), "wb");
  if (out == nullptr) {
    say("Output path is not available.\r\n");
    return STATUS_OUTPUT_UNAVAILABLE;
  }
  unsigned char last[4] = {};
  const bool is_float = track.is_float != 0;
  bool read_failed = false;
  bool write_failed = false;
  for (int64_t i = 0; i < 2 * static_cast<int64_t>(frames) && !read_failed && !write_failed; ++i) {
    read_failed = !read_value(track.fp, last);
    if (read_failed) break;
    const int v = output_value(input_value(last, is_float), output_scale, clip_count);
    write_failed = std::fputc(v & 0xFF, out) == EOF || std::fputc((v >> 8) & 0xFF, out) == EOF;
  }
  write_failed = std::fclose(out) != 0 || write_failed;
  if (!read_failed && !write_failed) return 0;
  std::remove(output_path.c_str());
  if (read_failed) say("Cannot read %s\r\n", input_path.c_str());
  if (!read_failed) say("Cannot write to %s\r\n", output_path.c_str());
  return read_failed ? STATUS_CANNOT_OPEN : STATUS_OUTPUT_UNAVAILABLE;
}

}  // namespace

// The benchmark's inputs never name one another's outputs, so the identity
// checks of the program's writer are left out here.
int write_raw_outputs(wav_track* tracks, const std::string* paths, int wav_num, int32_t smallest_delay,
                      double biggest_gain, int32_t shortest_sample, output_buffers&) {
  for (int k = 0; k < wav_num; ++k) {
    wav_track& track = tracks[k];
    const int64_t first_frame = track.offset - smallest_delay;
    fseeko(track.fp, static_cast<off_t>(track.data_pos + FRAME_BYTES * first_frame), SEEK_SET);
    const double output_scale = (track.gain * 32768) / (biggest_gain * OUTPUT_HEADROOM);
    int clip_count = 0;
    const int status = write_track_per_value(track, paths[k], raw_path_for(paths[k]), output_scale,
                                             shortest_sample, clip_count);
    if (status != 0) return status;
    if (clip_count > 0) say("%s Clipped %d times.\r\n", track.label, clip_count);
    release_track(track);
  }
  return 0;
}
