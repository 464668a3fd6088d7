// Malformed and unusual WAV files, each with what the header reader must make
// of it: its status, messages, frame count, sample kind and data position.
// The header tests check every field; the hostile-input tests run the whole
// program on the same files under the sanitizers.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "wav_writer.h"

namespace malformed {

inline const bytes SIXTEEN_FRAMES = silent_frames(16);

struct header_case {
  const char* name;
  wav_layout layout;
  bytes samples = SIXTEEN_FRAMES;
  long cut_at = -1;  // keep only this many bytes; below -1, drop that many at the end
  int status = 0;
  // Printed text; after "???", "INT" or "FLO", a "|" stands for the rest of the
  // label (" 1>", the name, ">"), and "@P" stands for the file's path.
  std::string messages = "";
  int32_t frame_num = 16;
  int is_float = 0;
  int64_t data_pos = 44;
};

// The case's file, cut as it says.
inline bytes file_of(const header_case& c) {
  bytes file = make_wav(c.layout, c.samples);
  if (c.cut_at >= 0) file.erase(file.begin() + c.cut_at, file.end());
  if (c.cut_at < -1) file.erase(file.end() + c.cut_at, file.end());
  return file;
}

inline wav_layout with(void (*change)(wav_layout&)) {
  wav_layout w;
  change(w);
  return w;
}

inline std::vector<extra_chunk> chunks(int n, const char* tag = "junk", uint32_t length = 6) {
  return std::vector<extra_chunk>(static_cast<std::size_t>(n), extra_chunk{tag, length});
}

// Every test file is named <dir>/f.wav under /tmp/abchr-test-XXXXXX; with no
// backslash in the path, the label shows its first 14 bytes.

inline std::vector<header_case> header_cases() {
  std::vector<header_case> cases;
  auto add = [&](header_case c) { cases.push_back(std::move(c)); };

  add({"integer_pcm", wav_layout{}});
  add({"float", float_layout(), SIXTEEN_FRAMES, -1, 0, "", 16, 1});
  add({"extensible_pcm", with([](wav_layout& w) {
         w.format_tag = 0xFFFE;
         w.fmt_length = 40;
       }),
       SIXTEEN_FRAMES, -1, 0, "", 16, 0, 68});
  add({"extensible_float_is_float", with([](wav_layout& w) {
         w.format_tag = 0xFFFE;
         w.fmt_length = 40;
         w.subformat = GUID_FLOAT;
       }),
       SIXTEEN_FRAMES, -1, 0, "", 16, 1, 68});
  add({"extensible_float_label_before_later_messages", with([](wav_layout& w) {
         w.format_tag = 0xFFFE;
         w.fmt_length = 40;
         w.subformat = GUID_FLOAT;
         w.channels = 1;
       }),
       SIXTEEN_FRAMES, -1, 5, "FLO| This is not a stereo file. Num of channel is 1.\r\n"});
  add({"extensible_short_fmt_stays_integer", with([](wav_layout& w) {
         w.format_tag = 0xFFFE;
         w.fmt_length = 18;
       }),
       SIXTEEN_FRAMES, -1, 0, "", 16, 0, 46});
  add({"extensible_other_subformat_stays_integer", with([](wav_layout& w) {
         w.format_tag = 0xFFFE;
         w.fmt_length = 40;
         w.subformat = bytes(16, 7);
       }),
       SIXTEEN_FRAMES, -1, 0, "", 16, 0, 68});
  add({"format_tag_2", with([](wav_layout& w) { w.format_tag = 2; }), SIXTEEN_FRAMES, -1, 4,
       "???| This is not a linear(integer) or float PCM. 2\r\n"});
  add({"format_tag_negative", with([](wav_layout& w) { w.format_tag = 0x8001; }), SIXTEEN_FRAMES, -1, 4,
       "???| This is not a linear(integer) or float PCM. -32767\r\n"});
  add({"mono", with([](wav_layout& w) { w.channels = 1; }), SIXTEEN_FRAMES, -1, 5,
       "INT| This is not a stereo file. Num of channel is 1.\r\n"});
  add({"eight_channels_float", with([](wav_layout& w) {
         w.channels = 8;
         w.format_tag = 3;
       }),
       SIXTEEN_FRAMES, -1, 5, "FLO| This is not a stereo file. Num of channel is 8.\r\n"});
  add({"sixteen_bit", with([](wav_layout& w) { w.bits = 16; }), SIXTEEN_FRAMES, -1, 6,
       "INT| This is not a 32bit depth wave file.\r\nINT| This is probably a 16 bit wave file.\r\n"});
  add({"twenty_four_bit", with([](wav_layout& w) { w.bits = 24; }), SIXTEEN_FRAMES, -1, 6,
       "INT| This is not a 32bit depth wave file.\r\nINT| This is probably a 24 bit wave file.\r\n"});
  add({"byte_rate_off_by_one", with([](wav_layout& w) { w.byte_rate = 352801; }), SIXTEEN_FRAMES, -1, 6,
       "INT| This is not a 32bit depth wave file.\r\nINT| This is probably a 32 bit wave file.\r\n"});
  add({"other_rate_accepted", with([](wav_layout& w) {
         w.format_tag = 3;
         w.sample_rate = 48000;
       }),
       SIXTEEN_FRAMES, -1, 0, "FLO| Using sample rate other than 44.1kHz is not recommended.\r\n", 16, 1});
  add({"rate_zero", with([](wav_layout& w) {
         w.sample_rate = 0;
         w.byte_rate = 352800;
       }),
       SIXTEEN_FRAMES, -1, 6,
       "INT| Using sample rate other than 44.1kHz is not recommended.\r\n"
       "INT| This is not a 32bit depth wave file.\r\nINT| This is probably a 0 bit wave file.\r\n"});
  add({"rate_and_byte_rate_zero_accepted", with([](wav_layout& w) {
         w.sample_rate = 0;
         w.byte_rate = 0;
       }),
       SIXTEEN_FRAMES, -1, 0, "INT| Using sample rate other than 44.1kHz is not recommended.\r\n"});
  add({"huge_byte_rate_printed_in_full", with([](wav_layout& w) {
         w.sample_rate = 1;
         w.byte_rate = 0xFFFFFFFF;
       }),
       SIXTEEN_FRAMES, -1, 6,
       "INT| Using sample rate other than 44.1kHz is not recommended.\r\n"
       "INT| This is not a 32bit depth wave file.\r\nINT| This is probably a 17179869180 bit wave "
       "file.\r\n"});
  add({"huge_rate_no_overflow", with([](wav_layout& w) {
         w.sample_rate = 0x80000000;
         w.byte_rate = 0;
       }),
       SIXTEEN_FRAMES, -1, 6,
       "INT| Using sample rate other than 44.1kHz is not recommended.\r\n"
       "INT| This is not a 32bit depth wave file.\r\nINT| This is probably a 0 bit wave file.\r\n"});
  add({"empty_file", wav_layout{}, SIXTEEN_FRAMES, 0, 3,
       "RIFF != \r\n???| Not a valid RIFF WAV File: @P\r\n"});
  add({"rifx", with([](wav_layout& w) { w.riff = "RIFX"; }), SIXTEEN_FRAMES, -1, 3,
       "RIFF != RIFX\r\n???| Not a valid RIFF WAV File: @P\r\n"});
  add({"rf64", with([](wav_layout& w) { w.riff = "RF64"; }), SIXTEEN_FRAMES, -1, 3,
       "RIFF != RF64\r\n???| Not a valid RIFF WAV File: @P\r\n"});
  add({"form_not_wave_warns", with([](wav_layout& w) { w.form = "AVI "; }), SIXTEEN_FRAMES, -1, 0,
       "WAVE != AVI \r\n"});
  add({"list_before_fmt_warns", with([](wav_layout& w) { w.before_fmt = chunks(1, "LIST", 26); }),
       SIXTEEN_FRAMES, -1, 0, "???| skipped unknown chunk 'LIST' while searching 'fmt '.\r\n", 16, 0, 78});
  add({"fact_after_fmt_silent", with([](wav_layout& w) { w.after_fmt = chunks(1, "fact", 4); }),
       SIXTEEN_FRAMES, -1, 0, "", 16, 0, 56});
  std::string nine_warnings;
  for (int i = 0; i < 9; ++i)
    nine_warnings += "???| skipped unknown chunk 'junk' while searching 'fmt '.\r\n";
  add({"nine_skips_before_fmt", with([](wav_layout& w) { w.before_fmt = chunks(9); }), SIXTEEN_FRAMES, -1, 0,
       nine_warnings, 16, 0, 44 + 9 * 14});
  add({"tenth_skip_before_fmt", with([](wav_layout& w) { w.before_fmt = chunks(10); }), SIXTEEN_FRAMES, -1, 3,
       nine_warnings +
           "???| skipped unknown chunk 'junk' while searching 'fmt '.\r\n???| Chunks too much.\r\n"});
  add({"nine_skips_split", with([](wav_layout& w) {
         w.before_fmt = chunks(5);
         w.after_fmt = chunks(4);
       }),
       SIXTEEN_FRAMES, -1, 0, nine_warnings.substr(0, nine_warnings.size() / 9 * 5), 16, 0, 44 + 9 * 14});
  add({"tenth_skip_after_fmt", with([](wav_layout& w) {
         w.before_fmt = chunks(5);
         w.after_fmt = chunks(5);
       }),
       SIXTEEN_FRAMES, -1, 7,
       nine_warnings.substr(0, nine_warnings.size() / 9 * 5) + "INT| There are no data chunk.\r\n"});
  add({"ten_skips_after_fmt", with([](wav_layout& w) { w.after_fmt = chunks(10); }), SIXTEEN_FRAMES, -1, 7,
       "INT| There are no data chunk.\r\n"});
  add({"data_length_8n_plus_4", with([](wav_layout& w) { w.data_length = 132; }), silent_frames(17), -1, 0,
       "INT| ILLEGAL DATA CHUNK LENGTH : 132\r\n", 16});
  add({"data_chunk_truncated", with([](wav_layout& w) { w.data_length = 8000; }), SIXTEEN_FRAMES, -1, 0,
       "INT| DATA CHUNK TRUNCATED : 16[samples]\r\n", 16});
  add({"data_length_placeholder", with([](wav_layout& w) { w.data_length = 0xFFFFFFFF; }), silent_frames(17),
       -4, 0, "INT| ILLEGAL DATA CHUNK LENGTH : -1\r\nINT| DATA CHUNK TRUNCATED : 16[samples]\r\n", 16});
  add({"file_ends_at_data_length", wav_layout{}, SIXTEEN_FRAMES, 44, 0,
       "INT| DATA CHUNK TRUNCATED : 0[samples]\r\n", 0});
  // RIFF pads odd chunks with a zero byte; some writers forget it.
  add({"odd_chunk_padded_before_fmt", with([](wav_layout& w) { w.before_fmt = chunks(1, "LIST", 5); }),
       SIXTEEN_FRAMES, -1, 0, "???| skipped unknown chunk 'LIST' while searching 'fmt '.\r\n", 16, 0, 58});
  add({"odd_chunk_unpadded_before_fmt", with([](wav_layout& w) {
         w.before_fmt = {extra_chunk{"LIST", 5, false}};
       }),
       SIXTEEN_FRAMES, -1, 0, "???| skipped unknown chunk 'LIST' while searching 'fmt '.\r\n", 16, 0, 57});
  add({"odd_chunks_padded_after_fmt", with([](wav_layout& w) { w.after_fmt = chunks(3, "fact", 3); }),
       SIXTEEN_FRAMES, -1, 0, "", 16, 0, 44 + 3 * 12});
  add({"odd_chunks_unpadded_after_fmt", with([](wav_layout& w) {
         w.after_fmt = std::vector<extra_chunk>(3, extra_chunk{"fact", 3, false});
       }),
       SIXTEEN_FRAMES, -1, 0, "", 16, 0, 44 + 3 * 11});
  add({"odd_fmt_padded", with([](wav_layout& w) { w.fmt_length = 17; }), SIXTEEN_FRAMES, -1, 0, "", 16, 0,
       46});
  add({"odd_fmt_unpadded", with([](wav_layout& w) {
         w.fmt_length = 17;
         w.fmt_pad = false;
       }),
       SIXTEEN_FRAMES, -1, 0, "", 16, 0, 45});
  add({"fmt_18", with([](wav_layout& w) { w.fmt_length = 18; }), SIXTEEN_FRAMES, -1, 0, "", 16, 0, 46});
  add({"fmt_12_skips_nothing", with([](wav_layout& w) { w.fmt_length = 12; }), SIXTEEN_FRAMES, -1, 0, "", 16,
       0, 40});
  add({"negative_chunk_length_skips_nothing", with([](wav_layout& w) {
         w.before_fmt = {extra_chunk{"JUNK", 0x80000000u, false, 'x', 0}};
       }),
       SIXTEEN_FRAMES, -1, 0, "???| skipped unknown chunk 'JUNK' while searching 'fmt '.\r\n", 16, 0, 52});
  std::string ten_empty;
  for (int i = 0; i < 10; ++i) ten_empty += "???| skipped unknown chunk '' while searching 'fmt '.\r\n";
  add({"cut_after_form", wav_layout{}, SIXTEEN_FRAMES, 12, 3, ten_empty + "???| Chunks too much.\r\n"});
  add({"cut_after_fmt_tag", wav_layout{}, SIXTEEN_FRAMES, 16, 4,
       "???| This is not a linear(integer) or float PCM. 0\r\n"});
  add({"cut_after_channels", wav_layout{}, SIXTEEN_FRAMES, 24, 7,
       "INT| Using sample rate other than 44.1kHz is not recommended.\r\nINT| There are no data chunk.\r\n"});
  add({"cut_in_fmt_tail", wav_layout{}, SIXTEEN_FRAMES, 34, 7, "INT| There are no data chunk.\r\n"});
  return cases;
}

// Names a row in test output instead of dumping its bytes.
inline void PrintTo(const header_case& c, std::ostream* os) { *os << c.name; }

}  // namespace malformed
