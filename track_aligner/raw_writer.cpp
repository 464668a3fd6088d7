#include "raw_writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

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

bool names_any(const file_identity& id, const std::vector<file_identity>& files) {
  return std::any_of(files.begin(), files.end(),
                     [&](const file_identity& file) { return same_file(id, file); });
}

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

// `values` output values of a block as output_value gives them, as 16-bit
// little-endian bytes, counting the clipped ones.
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

// A raw file is either complete or gone: whatever ends its writing early (a
// failed read or write, memory running out, a signal) removes it.
struct pending_output {
  output_file& out;
  bool complete = false;
  explicit pending_output(output_file& opened) : out(opened) { guard_output(out); }
  ~pending_output() {
    if (!complete) discard_output(out);
    release_output_guard();
  }
  pending_output(const pending_output&) = delete;
  pending_output& operator=(const pending_output&) = delete;
};

// Writes one track's raw file into the opened, emptied output. Returns 0, or
// the status of the failure after printing its message.
int write_track(wav_track& track, const std::string& input_path, const std::string& output_path,
                output_file& out, double output_scale, int32_t frames, output_buffers& buffers,
                int& clip_count) {
  pending_output pending{out};
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
  pending.complete = true;
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
  // An output must never truncate an input or replace a stimulus written a
  // moment earlier; files are compared by identity, not by name.
  std::vector<file_identity> inputs;
  std::vector<file_identity> written;
  inputs.reserve(MAX_TRACKS);
  written.reserve(MAX_TRACKS);
  for (int k = 0; k < wav_num; ++k) {
    file_identity id;
    if (tracks[k].fp != nullptr && identify(tracks[k].fp, id) == file_kind::regular) inputs.push_back(id);
  }

  for (int k = 0; k < wav_num; ++k) {
    wav_track& track = tracks[k];
    const int64_t first_frame = track.offset - smallest_delay;
    if (!file_seek(track.fp, track.data_pos + FRAME_BYTES * first_frame, SEEK_SET)) {
      return say_cannot_read(paths[k], errno);
    }

    const std::string output_path = raw_path_for(paths[k]);
    output_file out;
    if (!open_output(output_path, out)) {
      const int cause = errno;
      say("Output path is not available.\r\n");
      say_system_error(output_path, cause);
      return STATUS_OUTPUT_UNAVAILABLE;
    }
    // Checked before the first raw file; checked again in case a name was
    // changed since.
    if (names_any(out.identity, inputs) || names_any(out.identity, written)) {
      close_output(out);  // never emptied: the file keeps its bytes
      say("Output path is not available.\r\n");
      return STATUS_OUTPUT_UNAVAILABLE;
    }

    const double output_scale = output_scale_for(track.gain, biggest_gain);
    int clip_count = 0;
    const int status =
        write_track(track, paths[k], output_path, out, output_scale, shortest_sample, buffers, clip_count);
    if (status != 0) return status;
    written.push_back(out.identity);

    if (clip_count > 0) say("%s Clipped %d times.\r\n", track.label, clip_count);
    release_track(track);
  }
  return 0;
}
