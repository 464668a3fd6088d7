// wavmatch2 from the header on, written the plain way: one value read at a
// time, the filter with shifted history arrays, the literal search, printf into
// a string and one output value at a time. Whole runs of the program must give
// exactly its bytes, on standard output and in every raw file.
#pragma once

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "console_capture.h"
#include "offset_search.h"
#include "wav_track.h"

struct literal_run_result {
  int status = 0;
  std::string out;                          // as printed, CR CR LF line ends
  std::map<std::string, std::string> raws;  // output path -> bytes
};

namespace literal {

inline void print(std::string& out, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  out += as_printed(text);
}

inline double read_value(FILE* fp, bool is_float, bool for_analysis) {
  unsigned char b[4] = {};
  if (std::fread(b, 1, 4, fp) != 4) return 0.0;
  uint32_t bits = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
  if (is_float) {
    float f;
    std::memcpy(&f, &bits, 4);
    if (for_analysis && !std::isfinite(f)) return 0.0;
    return f;
  }
  return static_cast<int32_t>(bits);
}

// Butterworth then Yulewalk, each one running sum in the order of its terms.
inline int capture(wav_track& t) {
  static const double b[3] = {0.98500175787242, -1.97000351574484, 0.98500175787242};
  static const double a[3] = {0, 1.96977855582618, -0.9702284756635};
  static const double B[11] = {0.0541865640643,   -0.02911007808948, -0.00848709379851, -0.00851165645469,
                               -0.00834990904936, 0.02245293253339,  -0.02596338512915, 0.01624864962975,
                               -0.00240879051584, 0.00674613682247,  -0.00187763777362};
  static const double A[11] = {0,                 3.47845948550071,  -6.36317777566148, 8.54751527471874,
                               -9.4769360780128,  8.81498681370155,  -6.85401540936998, 4.39470996079559,
                               -2.19611684890774, 0.75104302451432,  -0.13149317958808};
  double x[3] = {}, h[11] = {}, y[11] = {};
  double p = 0;
  int c = 0;
  fseeko(t.fp, t.data_pos, SEEK_SET);
  for (int j = 0; j < t.frame_num; ++j) {
    double in;
    if (t.is_float) {
      const double first = read_value(t.fp, true, true);
      in = first + read_value(t.fp, true, true);
    } else {
      const double first = read_value(t.fp, false, true);
      in = (first + read_value(t.fp, false, true)) * (1.0 / 2147483648.0);
    }
    x[2] = x[1];
    x[1] = x[0];
    x[0] = in;
    double hn = b[0] * x[0] + b[1] * x[1] + b[2] * x[2] + a[1] * h[0] + a[2] * h[1];
    for (int k = 10; k > 0; --k) h[k] = h[k - 1];
    h[0] = hn;
    double yn = 0;
    for (int k = 0; k <= 10; ++k) yn = (k == 0 ? B[0] * h[0] : yn + B[k] * h[k]);
    for (int k = 1; k <= 10; ++k) yn = yn + A[k] * y[k - 1];
    for (int k = 10; k > 0; --k) y[k] = y[k - 1];
    y[0] = yn;
    if (t.index == 0 && c == 0) {
      if (j >= 4100 && p >= 0.0000152587890625) {
        t.initial_offset = j;
      } else if (t.shortest_sample > j + 40000) {
        p = (p + yn * yn) * 0.5;
      } else {
        t.initial_offset = j;
      }
    }
    if (j >= t.initial_offset) {
      t.samples[c++] = yn;
      if (c == 40000) return 0;
    }
  }
  return 1;
}

}  // namespace literal

// Runs the aligner literally on paths whose headers are valid.
inline literal_run_result literal_wavmatch(const std::vector<std::string>& paths) {
  literal_run_result r;
  const int wav_num = static_cast<int>(paths.size());
  std::vector<wav_track> t(static_cast<std::size_t>(wav_num));
  literal::print(r.out, "wavmatch v.2.0.0  /  original reference file:%s\r\n", paths[0].c_str());
  int shortest = 2147483647;
  for (int k = 0; k < wav_num; ++k) {
    init_track(t[k]);
    t[k].index = k;
    console_capture console;
    r.status = read_wav_header(t[k], paths[k]);
    r.out += console.text();
    if (r.status != 0) return r;
    if (t[k].frame_num < shortest) shortest = t[k].frame_num;
  }
  for (int k = 0; k < wav_num; ++k) {
    if (k != 0) t[k].initial_offset = t[0].initial_offset;
    t[k].shortest_sample = shortest;
    literal::capture(t[k]);
  }
  literal::print(r.out, "                     Offset[sample]  Gain    Gain[dB]     Score\r\n");
  int biggest_delay = 0, smallest_delay = 0;
  double biggest_gain = 1.0;
  for (int k = 1; k < wav_num; ++k) {
    const search_result s = search_offset_literal(t[0].samples, t[k].samples);
    if (s.silent) {
      literal::print(r.out, "No Sound At All.\r\n");
    } else {
      t[k].offset = s.offset;
      t[k].gain = s.gain;
      t[k].score = s.score;
    }
    if (t[k].offset < smallest_delay) smallest_delay = t[k].offset;
    if (t[k].offset > biggest_delay) biggest_delay = t[k].offset;
    if (t[k].gain > biggest_gain) biggest_gain = t[k].gain;
    literal::print(r.out, "%s O:%5d   G:%9f  G:%9f  S:%9f\r\n", t[k].label, t[k].offset, t[k].gain,
                   20 * std::log10(t[k].gain), t[k].score);
  }
  shortest = shortest - (biggest_delay - smallest_delay);
  literal::print(r.out, "biggest_delay    : %d\r\n", biggest_delay);
  literal::print(r.out, "smallest_delay   : %d\r\n", smallest_delay);
  literal::print(r.out, "biggest_gain     : %f\r\n", biggest_gain);
  literal::print(r.out, "shortest_sample  : %d\r\n", shortest);
  literal::print(r.out, "initial_offset   : %d\r\n", t[1].initial_offset);
  for (int k = 0; k < wav_num; ++k) {
    fseeko(t[k].fp, t[k].data_pos + 8 * static_cast<int64_t>(t[k].offset - smallest_delay), SEEK_SET);
    std::string path = paths[k];
    const std::size_t cut = path.find("32b.wav");
    if (cut != std::string::npos) path.resize(cut);
    path += ".raw";
    const double scale = (t[k].gain * 32768) / (biggest_gain * 1.2);
    std::string& raw = r.raws[path];
    int clips = 0;
    for (int64_t i = 0; i < 2 * static_cast<int64_t>(shortest); ++i) {
      double value = literal::read_value(t[k].fp, t[k].is_float, false);
      if (!t[k].is_float) value = static_cast<float>(value * 4.656612873077393e-10);
      const double y = value * scale + 100000;
      int v;
      if (std::isnan(y)) {
        v = 0;
        ++clips;
      } else if (y >= 2147483647.0 || y <= -2147483648.0) {
        v = y > 0 ? 32701 : -32701;
      } else {
        v = static_cast<int>(y) - 100000;
      }
      if (v < -32700) { ++clips; v = -32700; }
      if (v > 32700) { ++clips; v = 32700; }
      raw += static_cast<char>(v & 0xFF);
      raw += static_cast<char>((v >> 8) & 0xFF);
    }
    if (clips > 0) literal::print(r.out, "%s Clipped %d times.\r\n", t[k].label, clips);
  }
  for (wav_track& track : t) release_track(track);
  return r;
}
