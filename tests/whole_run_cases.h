// The inputs of whole runs of wavmatch2: music-like originals and what codecs
// make of them, in integer and float files, with the cases that stress the
// search and the output (clipping, NaN and infinity, silence, no match at all,
// different lengths). The whole-run test compares each run with the plain
// algorithms; scripts/cross-check.sh compares every build's run with the
// native one (make_whole_run_inputs writes the files).
#pragma once

#include <cmath>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "signal_maker.h"
#include "wav_writer.h"

namespace whole_run_rows {

struct named_file {
  std::string name;
  bytes content;
};

struct whole_run_case {
  const char* name;
  std::function<std::vector<named_file>()> files;
  std::string expect_in_output;  // a line the run must show, as a sanity check
};

inline void PrintTo(const whole_run_case& c, std::ostream* os) { *os << c.name; }

constexpr std::size_t FRAMES = 60000;

inline std::vector<whole_run_case> cases() {
  return {
      {"codec_copies_int_and_float",
       [] {
         const stereo o = music(FRAMES);
         return std::vector<named_file>{{"song.wav", as_int_wav(o)},
                                        {"mp3_32b.wav", as_int_wav(codec_copy(o, 1105, 0.97, 1e-3))},
                                        {"aac32b.wav", as_float_wav(codec_copy(o, 1024, 1.02, 2e-3))},
                                        {"early32b.wav", as_int_wav(codec_copy(o, -800, 0.9, 1e-4))}};
       },
       "O: 1105"},
      {"exact_shift_and_half_amplitude_float",
       [] {
         const stereo o = music(FRAMES, 11);
         return std::vector<named_file>{{"o.wav", as_float_wav(o)},
                                        {"d37_32b.wav", as_float_wav(codec_copy(o, 37, 1.0, 0))},
                                        {"half32b.wav", as_float_wav(codec_copy(o, 0, 0.5, 0))}};
       },
       "O:    0   G: 2.000000  G: 6.020600  S: 0.000000"},
      {"loud_float_clips",
       [] {
         const stereo o = music(FRAMES, 5, 1.6);
         return std::vector<named_file>{{"o.wav", as_float_wav(o)},
                                        {"d32b.wav", as_float_wav(codec_copy(o, 576, 1.0, 1e-3))}};
       },
       "Clipped"},
      {"nan_and_infinity_samples",
       [] {
         const stereo o = music(FRAMES, 9);
         stereo d = codec_copy(o, 200, 1.0, 1e-3);
         for (std::size_t i = 30000; i < 30010; ++i) d.left[i] = std::numeric_limits<double>::quiet_NaN();
         for (std::size_t i = 50000; i < 50004; ++i) d.right[i] = -std::numeric_limits<double>::infinity();
         d.left[45000] = std::numeric_limits<double>::infinity();
         return std::vector<named_file>{{"o.wav", as_int_wav(o)}, {"d32b.wav", as_float_wav(d)}};
       },
       "Clipped 15 times"},
      {"silent_original",
       [] {
         const stereo o = codec_copy(music(FRAMES), 0, 0.0, 0.0);
         return std::vector<named_file>{{"o.wav", as_int_wav(o)}, {"d32b.wav", as_int_wav(music(FRAMES, 2))}};
       },
       "No Sound At All."},
      {"silent_decoded",
       [] {
         const stereo o = music(FRAMES);
         return std::vector<named_file>{{"o.wav", as_int_wav(o)},
                                        {"d32b.wav", as_int_wav(codec_copy(o, 0, 0.0, 0.0))},
                                        {"e32b.wav", as_int_wav(codec_copy(o, 300, 1.0, 1e-3))}};
       },
       "No Sound At All."},
      {"loud_unrelated_noise_still_gets_its_best_match",
       [] {
         // Loud, unrelated noise: every residual is huge, and the smallest still wins.
         stereo o = codec_copy(music(FRAMES), 0, 0.0, 4000.0, 17);
         stereo d = codec_copy(music(FRAMES), 0, 0.0, 4000.0, 99);
         return std::vector<named_file>{{"o.wav", as_float_wav(o)}, {"d32b.wav", as_float_wav(d)}};
       },
       "O: 5721   G: 0.995640"},
      {"different_lengths_and_offsets",
       [] {
         const stereo o = music(FRAMES + 5000, 21);
         stereo a = codec_copy(o, 2112, 1.1, 1e-3);
         a.left.resize(FRAMES);
         a.right.resize(FRAMES);
         stereo b = codec_copy(o, -2500, 0.8, 1e-3);
         return std::vector<named_file>{
             {"o.wav", as_int_wav(o)}, {"a32b.wav", as_int_wav(a)}, {"b32b.wav", as_float_wav(b)}};
       },
       "O:-2500"},
      {"extensible_float_list_chunk_and_48000_hz",
       [] {
         // Headers as other tools write them: a LIST chunk before "fmt ", the
         // extensible format with its float sub-format, a fact chunk of odd
         // length with its pad byte, another sample rate for every file.
         const stereo o = music(FRAMES, 13);
         const bytes o_wav = as_int_wav(o);
         const bytes d_wav = as_float_wav(codec_copy(o, 441, 1.05, 1e-3));
         wav_layout original;
         original.before_fmt = {extra_chunk{"LIST", 26}};
         original.sample_rate = 48000;
         wav_layout decoded = float_layout();
         decoded.format_tag = 0xFFFE;
         decoded.fmt_length = 40;
         decoded.subformat = GUID_FLOAT;
         decoded.sample_rate = 48000;
         decoded.after_fmt = {extra_chunk{"fact", 3}};
         constexpr std::size_t HEADER = 44;
         return std::vector<named_file>{
             {"o.wav", make_wav(original, bytes(o_wav.begin() + HEADER, o_wav.end()))},
             {"d32b.wav", make_wav(decoded, bytes(d_wav.begin() + HEADER, d_wav.end()))}};
       },
       "FLO 1>d32b.wav      > O:  441"},
  };
}

}  // namespace whole_run_rows
