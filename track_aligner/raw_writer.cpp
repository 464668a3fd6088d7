#include "raw_writer.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "frame_reader.h"
#include "little_endian.h"
#include "platform.h"
#include "track_record.h"
#include "wav_track.h"

namespace {

// Adding this bias before truncating toward zero rounds every value that stays
// within the limits toward minus infinity.
constexpr double ROUNDING_BIAS = 100000.0;

// Eight values at a time in GNU vectors of 16 bytes, which GCC makes SSE2
// instructions on x86-64 and NEON ones on aarch64 from this one source. The
// lanes hold the files' little-endian values and the output's as they lie in
// memory, so the vector path serves little-endian processors only.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define RAW_WRITER_VECTORS 1
typedef int32_t v4i32 __attribute__((vector_size(16)));
typedef int16_t v8i16 __attribute__((vector_size(16)));
typedef float v4f32 __attribute__((vector_size(16)));
typedef double v2f64 __attribute__((vector_size(16)));
typedef double v4f64 __attribute__((vector_size(32)));
typedef int32_t v2i32 __attribute__((vector_size(8)));

template <class V>
V load(const unsigned char* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Scaled values below bias - 32700, or from bias + 32701 on, are clipped; in
// between, truncation rounds down. Clamped to just outside that range first,
// a value converts to -32701 or 32701 once the bias is taken off: the clipped
// ones, found and clamped again as 16-bit values.
constexpr double CLAMP_LOW = ROUNDING_BIAS - OUTPUT_LIMIT - 1;
constexpr double CLAMP_HIGH = ROUNDING_BIAS + OUTPUT_LIMIT + 1;

// Four input values at full scale 1.0 as single-precision values, as
// input_value rounds them. An integer rounded to single precision and then
// scaled by 2^-31 is the scaled integer rounded: scaling by a power of two
// commutes with rounding while the values stay normal.
template <bool IS_FLOAT>
v4f32 input_singles(const unsigned char* in) {
  if constexpr (IS_FLOAT) {
    return load<v4f32>(in);
  } else {
    return __builtin_convertvector(load<v4i32>(in), v4f32) * static_cast<float>(INT_FULL_SCALE);
  }
}

// Four values of a bias-shifted output, as doubles: value * scale + bias.
inline void scaled(v4f32 x, v2f64 scale, v2f64& low_lanes, v2f64& high_lanes) {
  const v4f64 wide = __builtin_convertvector(x, v4f64);
  low_lanes = __builtin_shufflevector(wide, wide, 0, 1) * scale + ROUNDING_BIAS;
  high_lanes = __builtin_shufflevector(wide, wide, 2, 3) * scale + ROUNDING_BIAS;
}

// The values of two bias-shifted doubles, clamped, truncated and unshifted:
// they may lie one beyond the limit.
inline v2i32 output_pair(v2f64 y, v2f64 low, v2f64 high) {
  y = y < low ? low : y;
  y = y > high ? high : y;
  return __builtin_convertvector(y, v2i32) - static_cast<int32_t>(ROUNDING_BIAS);
}

// Eight values at a time, as output_value gives them, stored as 16-bit
// little-endian values. Stops before eight values that hold one that is not a
// number; returns the number of values done.
template <bool IS_FLOAT>
int convert_eights(const unsigned char* in, int values, double output_scale, unsigned char* out,
                   int& clip_count) {
  const v2f64 scale = {output_scale, output_scale};
  // The clamp's bounds, formed at run time: against constants GCC 12 selects
  // lanes with three instructions where one minimum or maximum does.
  const v2f64 low = scale * 0.0 + CLAMP_LOW, high = scale * 0.0 + CLAMP_HIGH;
  const v8i16 limit = v8i16{} + OUTPUT_LIMIT, neg_limit = -limit;
  // Clip counts per 16-bit lane, as minus the count: a block of values fits them.
  static_assert(2 * BLOCK_FRAMES / 8 <= INT16_MAX, "clip counts fit 16 bits");
  v8i16 clipped = {};
  int i = 0;
  for (; i + 8 <= values; i += 8) {
    v2f64 y0, y1, y2, y3;
    scaled(input_singles<IS_FLOAT>(in + 4 * i), scale, y0, y1);
    scaled(input_singles<IS_FLOAT>(in + 4 * i + 16), scale, y2, y3);
    // A value that is not a number makes the sum one; so do infinities of
    // both signs, which only sends these eight values the slow way.
    const v2f64 sum = (y0 + y1) + (y2 + y3);
    if (std::isnan(sum[0] + sum[1])) break;
    const v4i32 a =
        __builtin_shufflevector(output_pair(y0, low, high), output_pair(y1, low, high), 0, 1, 2, 3);
    const v4i32 b =
        __builtin_shufflevector(output_pair(y2, low, high), output_pair(y3, low, high), 0, 1, 2, 3);
    // The low halves of the 32-bit lanes, which hold the values.
    v8i16 v = __builtin_shufflevector((v8i16)a, (v8i16)b, 0, 2, 4, 6, 8, 10, 12, 14);
    clipped += (v > limit) | (v < neg_limit);
    v = v > limit ? limit : v;
    v = v < neg_limit ? neg_limit : v;
    std::memcpy(out + 2 * i, &v, sizeof v);
  }
  for (int j = 0; j < 8; ++j) clip_count -= clipped[j];
  return i;
}
#endif

}  // namespace

void convert_values(const unsigned char* in, int values, bool is_float, double output_scale,
                    unsigned char* out, int& clip_count) {
  auto one_at_a_time = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      const int v = output_value(input_value(in + 4 * i, is_float), output_scale, clip_count);
      out[2 * i] = static_cast<unsigned char>(v & 0xFF);
      out[2 * i + 1] = static_cast<unsigned char>((v >> 8) & 0xFF);
    }
  };
  int done = 0;
#ifdef RAW_WRITER_VECTORS
  while (values - done >= 8) {
    const unsigned char* from = in + 4 * done;
    unsigned char* to = out + 2 * done;
    done += is_float ? convert_eights<true>(from, values - done, output_scale, to, clip_count)
                     : convert_eights<false>(from, values - done, output_scale, to, clip_count);
    // Eight values with one that is not a number.
    if (values - done >= 8) {
      one_at_a_time(done, done + 8);
      done += 8;
    }
  }
#endif
  one_at_a_time(done, values);
}

namespace {

// Writes one track's raw file into the opened output, emptied first. Returns
// 0, or the status of the failure after printing its message; the caller then
// discards the output.
int write_track(wav_track& track, const std::string& input_path, const std::string& output_path,
                output_file& out, double output_scale, int32_t frames, output_buffers& buffers,
                int& clip_count) {
  if (!empty_output(out)) {
    const int cause = errno;
    say("Output path is not available.\r\n");
    say_system_error(output_path, cause);
    return STATUS_OUTPUT_UNAVAILABLE;
  }
  int cause = 0;
  const frame_copy copied =
      write_scaled_frames(track, out.fp, output_scale, frames, buffers, clip_count, cause);
  if (copied == frame_copy::read_failed) return say_cannot_read(input_path, cause);
  if (copied == frame_copy::input_shrunk) return say_cannot_read(input_path, 0);
  bool write_failed = copied == frame_copy::write_failed;
  if (!write_failed && !close_output(out)) {
    write_failed = true;
    cause = errno;
  }
  if (write_failed) {
    say("Cannot write to %s\r\n", output_path.c_str());
    say_system_error(output_path, cause);
    return STATUS_OUTPUT_UNAVAILABLE;
  }
  return 0;
}

// Every raw file of the run, open and not yet written: each is either
// complete or gone, and an existing file that the run did not reach keeps its
// bytes. Whatever ends the output phase early (a refused path, a failed read
// or write, memory running out, a signal) removes the rest.
struct raw_outputs {
  output_file files[MAX_TRACKS];
  std::string paths[MAX_TRACKS];
  explicit raw_outputs(int count) { guard_outputs(files, count); }
  ~raw_outputs() {
    for (output_file& out : files) discard_output(out);
    release_output_guard();
  }
  raw_outputs(const raw_outputs&) = delete;
  raw_outputs& operator=(const raw_outputs&) = delete;
};

// A standard stream as it stands now, to compare the raw files with.
struct stream_file {
  file_kind kind;
  file_identity id;
  bool leads_to(const file_identity& other) const {
    return kind == file_kind::unknown || (kind == file_kind::regular && same_file(id, other));
  }
};

// Opens every raw file before the first is written, so that a path that
// cannot be created (a folder, a missing folder, a link to nothing, a name too
// long) is refused before any stimulus exists. Each is identified through its
// open descriptor and compared with every input, both standard streams and
// the raw files before it; only a file that is none of them is emptied later.
// A name changed since the checks is caught here, where it counts. Returns 0,
// or STATUS_OUTPUT_UNAVAILABLE after its message.
int open_outputs(const wav_track* tracks, const std::string* paths, int wav_num, raw_outputs& outputs) {
  file_identity input_ids[MAX_TRACKS];
  file_kind input_kinds[MAX_TRACKS];
  for (int k = 0; k < wav_num; ++k) {
    input_kinds[k] = tracks[k].fp == nullptr ? file_kind::missing : identify(tracks[k].fp, input_ids[k]);
  }
  stream_file streams[2];
  streams[0].kind = identify(stdout, streams[0].id);
  streams[1].kind = identify(stderr, streams[1].id);
  for (int k = 0; k < wav_num; ++k) {
    const std::string& raw = outputs.paths[k] = raw_path_for(paths[k]);
    output_file& out = outputs.files[k];
    auto refuse = [&](const char* reason, const std::string& other) {
      say("Output path is not available.\r\n");
      say_error("wavmatch2: %s: %s%s\r\n", raw.c_str(), reason, other.c_str());
      return STATUS_OUTPUT_UNAVAILABLE;
    };
    if (!open_output(raw, out)) {
      const int cause = errno;
      if (cause == 0) return refuse("is not a regular file", "");
      say("Output path is not available.\r\n");
      say_system_error(raw, cause);
      return STATUS_OUTPUT_UNAVAILABLE;
    }
    if (out.created) continue;  // a file made just now is none of the others
    for (int i = 0; i < wav_num; ++i) {
      // An input whose identity is unknown may be this very file.
      if (input_kinds[i] == file_kind::unknown ||
          (input_kinds[i] == file_kind::regular && same_file(out.identity, input_ids[i]))) {
        return refuse("would overwrite the input ", paths[i]);
      }
    }
    if (streams[0].leads_to(out.identity)) return refuse("is standard output", "");
    if (streams[1].leads_to(out.identity)) return refuse("is standard error", "");
    for (int i = 0; i < k; ++i) {
      if (same_file(out.identity, outputs.files[i].identity))
        return refuse("is also the raw file of ", paths[i]);
    }
  }
  return 0;
}

}  // namespace

frame_copy write_scaled_frames(wav_track& track, FILE* out, double output_scale, int32_t frames,
                               output_buffers& buffers, int& clip_count, int& error) {
  unsigned char last[4] = {};
  const bool is_float = track.is_float != 0;
  for (int32_t done = 0; done < frames;) {
    const int count = frames - done < BLOCK_FRAMES ? frames - done : BLOCK_FRAMES;
    read_frames(track.fp, buffers.block, count, last);
    if (buffers.block.error) {
      error = errno;
      return frame_copy::read_failed;
    }
    // The header promised these frames when the file was loaded: a file that
    // has shrunk since would give a stimulus padded with a constant value.
    if (buffers.block.frames < count) return frame_copy::input_shrunk;
    convert_values(buffers.block.bytes, 2 * count, is_float, output_scale, buffers.bytes, clip_count);
    const std::size_t n = static_cast<std::size_t>(count) * 4;
    if (std::fwrite(buffers.bytes, 1, n, out) != n) {
      error = errno;
      return frame_copy::write_failed;
    }
    done += count;
  }
  return frame_copy::done;
}

double output_scale_for(double gain, double biggest_gain) {
  return (gain * 32768) / (biggest_gain * OUTPUT_HEADROOM);
}

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

int write_raw_outputs(wav_track* tracks, const std::string* paths, int wav_num, int32_t smallest_delay,
                      double biggest_gain, int32_t shortest_sample, output_buffers& buffers) {
  raw_outputs outputs(wav_num);
  if (const int status = open_outputs(tracks, paths, wav_num, outputs); status != 0) return status;
  for (int k = 0; k < wav_num; ++k) {
    wav_track& track = tracks[k];
    const int64_t first_frame = track.offset - smallest_delay;
    if (!file_seek(track.fp, track.data_pos + FRAME_BYTES * first_frame, SEEK_SET)) {
      return say_cannot_read(paths[k], errno);
    }
    const double output_scale = output_scale_for(track.gain, biggest_gain);
    int clip_count = 0;
    const int status = write_track(track, paths[k], outputs.paths[k], outputs.files[k], output_scale,
                                   shortest_sample, buffers, clip_count);
    if (status != 0) return status;
    if (clip_count > 0) say("%s Clipped %d times.\r\n", track.label, clip_count);
    release_track(track);
  }
  return 0;
}
