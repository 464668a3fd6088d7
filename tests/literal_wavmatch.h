// wavmatch2 written the plain way, from the file bytes up: its own reader for
// valid WAV headers, the equal-loudness filter one frame at a time with shifted
// history arrays, every candidate offset summed in full, the report printed
// with printf formats and every raw value written as two single bytes. It
// shares no code and no constant with the program, so that a whole run of the
// program can be compared with it byte for byte: standard output and every raw
// file. bench/literal_wavmatch.cpp makes it a program of its own.
//
// It reads only inputs that wavmatch2 accepts and aligns; anything else ends it
// with a note on standard error and status 2. Every sum runs in the order its
// terms are written, in double precision.
#pragma once

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace literal {

struct track {
  FILE* fp = nullptr;
  long data_pos = 0;      // file position of the first sample byte
  int frame_num = 0;      // stereo frames in the data chunk
  bool is_float = false;  // 32-bit IEEE float samples; else 32-bit signed integers
  int index = 0;          // place on the command line; 0 is the original
  int shortest_sample = 0;
  int initial_offset = 2147483647;  // largest int: no frame is captured before the start is found
  char label[22] = "??? ?>**************>";
  std::vector<double> samples = std::vector<double>(40000);  // the analysis window, 40000 values
  int offset = 0;
  double gain = 1.0;
  double score = 0.0;
};

// A message ends in "\r\n": on Windows, text mode writes the LF as CR LF
// after the message's own CR; elsewhere the pair is one LF.
inline void say(FILE* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  std::vector<char> text(static_cast<std::size_t>(std::vsnprintf(nullptr, 0, format, args)) + 1);
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  va_end(args);
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
#ifdef _WIN32
    if (text[i] == '\n') std::fputc('\r', out);
#else
    if (text[i] == '\r' && text[i + 1] == '\n') continue;
#endif
    std::fputc(text[i], out);
  }
}

inline void refuse(const std::string& why) { std::fprintf(stderr, "literal_wavmatch: %s\n", why.c_str()); }

// RIFF numbers are little-endian.
inline uint32_t read_u32(FILE* fp) {
  unsigned char b[4] = {};
  if (std::fread(b, 1, 4, fp) != 4) return 0;
  return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

inline uint16_t read_u16(FILE* fp) {
  unsigned char b[2] = {};
  if (std::fread(b, 1, 2, fp) != 2) return 0;
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}

inline std::string read_tag(FILE* fp) {
  char tag[4] = {};
  if (std::fread(tag, 1, 4, fp) != 4) return "";
  return std::string(tag, 4);
}

// Opens a valid stereo 32-bit WAV file, prints what wavmatch2 prints about it
// and leaves fp at its first sample. False for any other file.
inline bool read_header(track& t, const std::string& path, FILE* out) {
  t.fp = std::fopen(path.c_str(), "rb");
  if (t.fp == nullptr) return false;
  // "??? 1>", the first 14 bytes of the name after the last backslash padded
  // with blanks, ">": 21 bytes.
  const std::string name = path.substr(path.rfind('\\') + 1);
  char label[22];
  std::snprintf(label, sizeof label, "??? %01d>%-14.14s>", t.index, name.c_str());

  if (read_tag(t.fp) != "RIFF") return false;
  read_u32(t.fp);  // RIFF size
  if (read_tag(t.fp) != "WAVE") return false;
  bool have_format = false;
  for (int skips = 0; skips <= 9;) {  // wavmatch2 steps over at most 9 other chunks
    const std::string tag = read_tag(t.fp);
    const uint32_t length = read_u32(t.fp);
    if (std::feof(t.fp)) return false;
    if (tag == "fmt ") {
      if (length < 16) return false;
      const uint16_t format = read_u16(t.fp);
      const uint16_t channels = read_u16(t.fp);
      const uint32_t rate = read_u32(t.fp);
      const uint32_t byte_rate = read_u32(t.fp);
      long rest = static_cast<long>(length) - 12;
      if (format == 3) {  // IEEE float
        t.is_float = true;
      } else if (format == 0xFFFE && length >= 40) {  // extensible: the sub-format decides
        std::fseek(t.fp, 12, SEEK_CUR);               // block align, bits, extension size, mask
        t.is_float = read_u16(t.fp) == 3;             // first two bytes of the sub-format GUID
        rest -= 14;
      } else if (format != 1) {  // 1: integer PCM
        return false;
      }
      if (channels != 2 || byte_rate != static_cast<uint64_t>(rate) * 8) return false;  // 2 x 4 bytes a frame
      std::memcpy(label, t.is_float ? "FLO" : "INT", 3);
      std::memcpy(t.label, label, sizeof label);
      if (rate != 44100) say(out, "%s Using sample rate other than 44.1kHz is not recommended.\r\n", label);
      std::fseek(t.fp, rest + (length & 1), SEEK_CUR);  // the pad byte after an odd chunk
      have_format = true;
    } else if (tag == "data") {
      if (!have_format || length % 8 != 0) return false;  // whole frames of 8 bytes
      t.frame_num = static_cast<int>(length / 8);
      t.data_pos = std::ftell(t.fp);
      return true;
    } else {
      if (!have_format) {
        say(out, "%s skipped unknown chunk '%s' while searching 'fmt '.\r\n", label, tag.c_str());
      }
      std::fseek(t.fp, static_cast<long>(length) + (length & 1), SEEK_CUR);
      ++skips;
    }
  }
  return false;
}

inline float as_float(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// Filters the track from its first frame and keeps 40000 filtered values from
// its start frame on; on the original, finds that start frame first.
inline void capture_window(track& t, FILE* out) {
  // Butterworth high-pass, 150 Hz at 44100 Hz: weights of x[n], x[n-1], x[n-2]
  // and of h[n-1], h[n-2].
  const double bx[3] = {0.98500175787242, -1.97000351574484, 0.98500175787242};
  const double bh[3] = {0, 1.96977855582618, -0.9702284756635};
  // 10th-order Yulewalk equal-loudness filter (ReplayGain, 44100 Hz): weights
  // of h[n] .. h[n-10] and of y[n-1] .. y[n-10].
  const double yh[11] = {0.0541865640643,   -0.02911007808948, -0.00848709379851, -0.00851165645469,
                         -0.00834990904936, 0.02245293253339,  -0.02596338512915, 0.01624864962975,
                         -0.00240879051584, 0.00674613682247,  -0.00187763777362};
  const double yy[11] = {0.0,
                         3.47845948550071,
                         -6.36317777566148,
                         8.54751527471874,
                         -9.4769360780128,
                         8.81498681370155,
                         -6.85401540936998,
                         4.39470996079559,
                         -2.19611684890774,
                         0.75104302451432,
                         -0.13149317958808};
  double x1 = 0, x2 = 0;  // x[n-1], x[n-2]
  double h[10] = {};      // h[n-1] .. h[n-10]
  double y[10] = {};      // y[n-1] .. y[n-10]
  double power = 0;
  int captured = 0;
  std::fseek(t.fp, t.data_pos, SEEK_SET);
  for (int j = 0; j < t.frame_num; ++j) {
    const uint32_t first = read_u32(t.fp);
    const uint32_t second = read_u32(t.fp);
    double x;
    if (t.is_float) {
      // A sample that is not a finite number counts as silence here.
      const float a = std::isfinite(as_float(first)) ? as_float(first) : 0.0f;
      const float b = std::isfinite(as_float(second)) ? as_float(second) : 0.0f;
      x = static_cast<double>(a) + static_cast<double>(b);
    } else {
      // The sum of the channels is exact; 2^31 is integer full scale.
      x = (static_cast<double>(static_cast<int32_t>(first)) +
           static_cast<double>(static_cast<int32_t>(second))) /
          2147483648.0;
    }
    double hn = bx[0] * x;
    hn = hn + bx[1] * x1;
    hn = hn + bx[2] * x2;
    hn = hn + bh[1] * h[0];
    hn = hn + bh[2] * h[1];
    double yn = yh[0] * hn;
    for (int k = 1; k <= 10; ++k) yn = yn + yh[k] * h[k - 1];
    for (int k = 1; k <= 10; ++k) yn = yn + yy[k] * y[k - 1];
    x2 = x1;
    x1 = x;
    for (int k = 9; k > 0; --k) {
      h[k] = h[k - 1];
      y[k] = y[k - 1];
    }
    h[0] = hn;
    y[0] = yn;

    if (t.index == 0 && captured == 0) {
      if (j >= 4100 && power >= 0.0000152587890625) {  // not before frame 4100; power of 2^-16
        t.initial_offset = j;
      } else if (t.shortest_sample > j + 40000) {  // room left for the 40000-value window
        power = (power + yn * yn) * 0.5;           // running power, each new square weighted one half
      } else {
        t.initial_offset = j;
      }
    }
    if (j >= t.initial_offset) {
      t.samples[static_cast<std::size_t>(captured)] = yn;
      ++captured;
      if (captured == 40000) return;
    }
  }
  say(out, "%s over run. %d/%d\r\n", t.label, captured, 40000);
}

struct match {
  int offset = 0;
  double gain = 0;
  double score = 0;
};

// Slides the decoded window s over 10000 candidate offsets against the
// original's window r at positions 2500 .. 32499. The smallest residual after
// the RMS gain wins; among equal residuals, the first, most negative offset.
// False for a silent stretch. (The tests' reference for the program's search.)
inline bool search_offset(const double* r, const double* s, match& found) {
  double reference_energy = 0;
  // The original's compared stretch: 30000 values from position 2500 on.
  for (int k = 2500; k <= 32499; ++k) reference_energy = reference_energy + r[k] * r[k];
  if (reference_energy == 0) return false;  // a silent original: nothing to match
  // No ceiling: the smallest residual wins, however large.
  double best = std::numeric_limits<double>::infinity();
  double best_gain = 0;
  int best_offset = 0;
  for (int d = -2500; d <= 7499; ++d) {  // the detectable offsets, in frames
    double test_energy = 0;
    for (int k = 2500; k <= 32499; ++k) test_energy = test_energy + s[k + d] * s[k + d];
    if (test_energy == 0) return false;
    const double g = std::sqrt(reference_energy / test_energy);
    double residual = 0;
    for (int k = 2500; k <= 32499; ++k) {
      const double e = s[k + d] * g - r[k];
      residual = residual + e * e;
      if (residual > best) break;
    }
    if (residual < best) {
      best = residual;
      best_gain = g;
      best_offset = d;
    }
  }
  found = {best_offset, best_gain, std::sqrt(best / reference_energy)};
  return true;
}

// The search for a decoded track, which keeps its values after a silent stretch.
inline bool find_offset_and_gain(const track& original, track& t) {
  match found;
  if (!search_offset(original.samples.data(), t.samples.data(), found)) return false;
  t.offset = found.offset;
  t.gain = found.gain;
  t.score = found.score;
  return true;
}

// Writes one track from input frame `first_frame` on as frames of two 16-bit
// little-endian values. Returns the number of values clamped, or -1 when the
// file cannot be created.
inline int write_raw(track& t, const std::string& path, long first_frame, int frames, double scale) {
  FILE* raw = std::fopen(path.c_str(), "wb");
  if (raw == nullptr) return -1;
  std::fseek(t.fp, t.data_pos + 8 * first_frame, SEEK_SET);  // 8 bytes a frame
  int clips = 0;
  for (long i = 0; i < 2L * frames; ++i) {
    const uint32_t bits = read_u32(t.fp);
    // Integer samples come to full scale 1.0 rounded to single precision.
    const float value =
        t.is_float ? as_float(bits) : static_cast<float>(static_cast<int32_t>(bits) / 2147483648.0);
    // The bias of 100000 turns truncation into rounding toward minus infinity.
    const double y = static_cast<double>(value) * scale + 100000;
    double v;
    if (std::isnan(y)) {  // not a number: silence, counted as clamped
      v = 0;
      ++clips;
    } else {
      v = std::trunc(y) - 100000;
      if (v < -32700 || v > 32700) {  // the output's limits, a little inside 16 bits
        v = v < 0 ? -32700 : 32700;
        ++clips;
      }
    }
    const int out = static_cast<int>(v);
    std::fputc(out & 0xFF, raw);
    std::fputc((out >> 8) & 0xFF, raw);
  }
  if (std::fclose(raw) != 0) return -1;
  return clips;
}

// The run, after the paths have been checked: loading, analysis, search and
// report, raw output.
inline int run_tracks(std::vector<track>& t, const std::vector<std::string>& paths, FILE* out) {
  const int wav_num = static_cast<int>(paths.size());
  say(out, "wavmatch v.2.0.0  /  original reference file:%s\r\n", paths[0].c_str());
  int shortest = 2147483647;  // largest int: the first track sets it
  for (int k = 0; k < wav_num; ++k) {
    t[k].index = k;
    if (!read_header(t[k], paths[k], out)) {
      refuse(paths[k] + " is not a stereo 32-bit WAV file that this reference reads");
      return 2;
    }
    if (t[k].frame_num < shortest) shortest = t[k].frame_num;
    if (shortest <= 40000) {  // a window of 40000 values must fit
      refuse(paths[k] + " is too short to align");
      return 2;
    }
  }

  for (int k = 0; k < wav_num; ++k) {
    if (k != 0) t[k].initial_offset = t[0].initial_offset;
    t[k].shortest_sample = shortest;
    capture_window(t[k], out);
  }

  say(out, "                     Offset[sample]  Gain    Gain[dB]     Score\r\n");
  int biggest_delay = 0;
  int smallest_delay = 0;
  double biggest_gain = 1.0;
  for (int k = 1; k < wav_num; ++k) {
    if (!find_offset_and_gain(t[0], t[k])) say(out, "No Sound At All.\r\n");
    if (t[k].offset < smallest_delay) smallest_delay = t[k].offset;
    if (t[k].offset > biggest_delay) biggest_delay = t[k].offset;
    if (t[k].gain > biggest_gain) biggest_gain = t[k].gain;
    say(out, "%s ", t[k].label);
    say(out, "O:%5d   ", t[k].offset);
    say(out, "G:%9f  ", t[k].gain);
    say(out, "G:%9f  ", 20 * std::log10(t[k].gain));  // in decibels
    say(out, "S:%9f\r\n", t[k].score);
  }
  shortest = shortest - (biggest_delay - smallest_delay);
  say(out, "biggest_delay    : %d\r\n", biggest_delay);
  say(out, "smallest_delay   : %d\r\n", smallest_delay);
  say(out, "biggest_gain     : %f\r\n", biggest_gain);
  say(out, "shortest_sample  : %d\r\n", shortest);
  say(out, "initial_offset   : %d\r\n", t[1].initial_offset);

  for (int k = 0; k < wav_num; ++k) {
    // "song32b.wav" gives "song.raw", "song.wav" gives "song.wav.raw".
    std::string path = paths[k];
    const std::size_t cut = path.find("32b.wav");
    if (cut != std::string::npos) path.resize(cut);
    path += ".raw";
    // 32768: 16-bit full scale; 1.2: headroom for the loudest track.
    const double scale = (t[k].gain * 32768) / (biggest_gain * 1.2);
    const int clips = write_raw(t[k], path, t[k].offset - smallest_delay, shortest, scale);
    if (clips < 0) {
      refuse("cannot write " + path);
      return 2;
    }
    if (clips > 0) say(out, "%s Clipped %d times.\r\n", t[k].label, clips);
  }
  return 0;
}

// Runs the aligner on the paths, printing to `out` and writing the raw files.
inline int run(const std::vector<std::string>& paths, FILE* out) {
  if (paths.size() < 2 || paths.size() > 10) {  // the original and one to nine decoded files
    refuse("give the original and one to nine decoded files, as to wavmatch2");
    return 2;
  }
  std::vector<track> tracks(paths.size());
  const int status = run_tracks(tracks, paths, out);
  for (track& t : tracks) {
    if (t.fp != nullptr) std::fclose(t.fp);
  }
  return status;
}

}  // namespace literal
