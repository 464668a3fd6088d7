// Every phase that moves in an input checks the move: a seek or tell that
// fails is a read error ("Cannot read", status 2), never a silent read from
// the wrong place. The input here is a stream that can be read but not
// positioned at all.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "console_capture.h"
#include "raw_writer.h"
#include "report.h"
#include "signal_maker.h"
#include "track_record.h"
#include "wav_header.h"
#include "wav_track.h"
#include "wav_writer.h"
#include "window_capture.h"

namespace {

struct stream_bytes {
  bytes data;
  std::size_t at = 0;
};

// A read-only stream over `source`, with no seek function: every fseeko and
// ftello on it fails.
FILE* unseekable(stream_bytes& source) {
  cookie_io_functions_t io = {};
  io.read = [](void* cookie, char* buffer, std::size_t size) -> ssize_t {
    auto& s = *static_cast<stream_bytes*>(cookie);
    const std::size_t n = std::min(size, s.data.size() - s.at);
    std::memcpy(buffer, s.data.data() + s.at, n);
    s.at += n;
    return static_cast<ssize_t>(n);
  };
  return fopencookie(&source, "r", io);
}

wav_layout with_fmt(uint32_t length, uint16_t format_tag = 1) {
  wav_layout w;
  w.fmt_length = length;
  w.format_tag = format_tag;
  return w;
}

struct seek_case {
  const char* name;
  wav_layout layout;
  // The phase under test, on a track whose fp is the unseekable stream.
  std::function<int(wav_track&, const std::string&)> phase;
};

int header(wav_track& track, const std::string& name) { return parse_wav_header(track, name); }

int window(wav_track& track, const std::string& name) {
  track.data_pos = 44;
  track.frame_num = 50000;
  track.shortest_sample = 50000;
  return capture_window(track, name) == capture_result::read_error ? STATUS_CANNOT_OPEN : STATUS_OK;
}

int raw_output(wav_track& track, const std::string& name) {
  track.data_pos = 44;
  return write_raw_outputs(&track, &name, 1, run_extremes{0, 0, 1.0}, 50000);
}

TEST(input_seeks, every_failed_seek_is_a_read_error) {
  wav_layout list_first;
  list_first.before_fmt = {extra_chunk{"LIST", 8}};
  const std::vector<seek_case> cases = {
      {"header: chunk skipped before fmt", list_first, header},
      {"header: rest of a 16-byte fmt skipped", with_fmt(16), header},
      {"header: extensible sub-format looked up", with_fmt(40, 0xFFFE), header},
      {"header: data position taken", with_fmt(12), header},
      {"window: start of the data", wav_layout{}, window},
      {"raw output: aligned start", wav_layout{}, raw_output},
  };
  temp_dir dir;
  const std::string name = dir.file("in.wav");
  for (const seek_case& c : cases) {
    stream_bytes source{make_wav(c.layout, silent_frames(50000))};
    wav_track track;
    ASSERT_EQ(init_track(track), 0);
    track.index = 0;
    track.fp = unseekable(source);
    ASSERT_NE(track.fp, nullptr);
    console_capture console;
    EXPECT_EQ(c.phase(track, name), 2) << c.name;
    EXPECT_TRUE(console.text().ends_with("Cannot read " + name + "\r\r\n")) << c.name << "\n"
                                                                            << console.text();
    EXPECT_NE(access(dir.file("in.wav.raw").c_str(), F_OK), 0) << c.name << ": no raw file";
    release_track(track);
  }
}

}  // namespace
