// The WAV header reader on synthesised files: what it accepts, every message
// and status it gives, and files that are cut, padded or lie about lengths.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "console_capture.h"
#include "device_files.h"
#include "malformed_wavs.h"
#include "track_record.h"
#include "wav_header.h"
#include "wav_track.h"
#include "wav_writer.h"

namespace {

using malformed::chunks;
using malformed::header_case;
using malformed::header_cases;

// The label of track 1: only a backslash separates folders, so a path with
// forward slashes shows its first 14 bytes.
std::string label_name(const std::string& path) { return " 1>" + path.substr(0, 14) + ">"; }

std::string expand(const std::string& messages, const std::string& path) {
  const std::string NAME = label_name(path);
  std::string out;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (messages.compare(i, 3, "???") == 0 || messages.compare(i, 3, "INT") == 0 ||
        messages.compare(i, 3, "FLO") == 0) {
      if (i + 3 < messages.size() && messages[i + 3] == '|') {
        out += messages.substr(i, 3) + NAME;
        i += 3;
        continue;
      }
    }
    if (messages.compare(i, 2, "@P") == 0) {
      out += path;
      ++i;
      continue;
    }
    out += messages[i];
  }
  return as_printed(out);
}

class header_reader : public ::testing::TestWithParam<header_case> {};

TEST_P(header_reader, status_messages_and_fields) {
  const header_case& c = GetParam();
  temp_dir dir;
  const std::string path = dir.file("f.wav");
  write_file(path, malformed::file_of(c));

  wav_track track;
  init_track(track, nullptr);  // the header reader never reads the window
  track.index = 1;
  console_capture console;
  const int status = read_wav_header(track, path);
  EXPECT_EQ(status, c.status);
  EXPECT_EQ(console.text(), expand(c.messages, path));
  if (c.status == 0) {
    EXPECT_EQ(track.frame_num, c.frame_num);
    EXPECT_EQ(track.is_float, c.is_float);
    EXPECT_EQ(track.data_pos, c.data_pos);
    EXPECT_EQ(std::string(track.label), (c.is_float ? "FLO" : "INT") + label_name(path));
    EXPECT_EQ(ftello(track.fp), c.data_pos);
  }
  release_track(track);
}

INSTANTIATE_TEST_SUITE_P(rows, header_reader, ::testing::ValuesIn(header_cases()),
                         [](const auto& row) { return std::string(row.param.name); });

struct open_case {
  const char* name;
  std::string path;  // "@dir" is a folder that exists
  std::string messages;
};

TEST(header_reader_open, unreadable_paths_give_status_2) {
  temp_dir dir;
  const std::vector<open_case> cases = {
      {"empty path", "", "Cannot open this empty path ''\r\n"},
      {"missing file", dir.file("missing.wav"),
       "Cannot open this file : " + dir.file("missing.wav") + "\r\n"},
      {"folder", dir.path, "Cannot open this file : " + dir.path + "\r\n"},
  };
  for (const open_case& c : cases) {
    wav_track track;
    init_track(track, nullptr);
    track.index = 0;
    console_capture console;
    EXPECT_EQ(read_wav_header(track, c.path), 2) << c.name;
    EXPECT_EQ(console.text(), as_printed(c.messages)) << c.name;
    release_track(track);
  }
}

#ifndef _WIN32
TEST(header_reader_open, read_error_gives_status_2) {
  // Reading a process's own memory at offset 0 fails with an I/O error.
  const std::string unreadable = "/proc/self/mem";
  if (!has_special_file(unreadable)) GTEST_SKIP() << "no " << unreadable << " on this system";
  wav_track track;
  init_track(track, nullptr);
  track.index = 0;
  console_capture console;
  EXPECT_EQ(read_wav_header(track, unreadable), 2);
  EXPECT_EQ(console.text(), as_printed("Cannot read /proc/self/mem\r\n"));
  release_track(track);
}
#endif

TEST(header_reader_cut, every_cut_of_a_header_ends_with_a_status) {
  wav_layout w;
  w.format_tag = 0xFFFE;
  w.fmt_length = 40;
  w.subformat = GUID_FLOAT;
  w.before_fmt = chunks(2, "LIST", 7);
  w.after_fmt = chunks(1, "fact", 4);
  const bytes whole = make_wav(w, silent_frames(4));
  temp_dir dir;
  const std::string path = dir.file("f.wav");
  for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
    write_file(path, bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
    wav_track track;
    init_track(track, nullptr);
    track.index = 3;
    console_capture console;
    const int status = read_wav_header(track, path);
    EXPECT_TRUE(status == 0 || (status >= 3 && status <= 7)) << "cut at " << cut;
    if (status == 0) {
      EXPECT_LE(track.data_pos + 8 * static_cast<int64_t>(track.frame_num), static_cast<int64_t>(cut));
    }
    release_track(track);
  }
}

}  // namespace
