// Every phase that moves in an input checks the move: a seek or tell that
// fails is a read error ("Cannot read", status 2), never a silent read from
// the wrong place. The input here is a stream that can be read but not
// positioned at all. And (on systems with /proc) the main sequence passes on
// the analysis phase's read error.
#include <fcntl.h>
#include <gtest/gtest.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "console_capture.h"
#include "device_files.h"
#include "held_memory.h"
#include "raw_writer.h"
#include "report.h"
#include "signal_maker.h"
#include "track_record.h"
#include "wav_header.h"
#include "wav_track.h"
#include "wav_writer.h"
#include "wavmatch.h"
#include "window_capture.h"

namespace {

// How much of an input the pipe below holds: less than a pipe's buffer on
// every system, so that it is written before anything reads it, and more
// than any phase reads before its first move in the file.
constexpr std::size_t PIPED_BYTES = 32768;

// A read-only stream over the first bytes of `source` that cannot be
// positioned at all: the read end of a pipe. Every fseek and ftell on it fails.
FILE* unseekable(const bytes& source) {
  int ends[2];
#ifdef _WIN32
  if (_pipe(ends, 2 * PIPED_BYTES, _O_BINARY) != 0) return nullptr;
#else
  if (pipe(ends) != 0) return nullptr;
#endif
  const std::size_t n = std::min(source.size(), PIPED_BYTES);
  const bool written = write(ends[1], source.data(), static_cast<unsigned>(n)) == static_cast<int>(n);
  close(ends[1]);
  if (!written) {
    close(ends[0]);
    return nullptr;
  }
  return fdopen(ends[0], "rb");
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
  std::function<int(wav_track&, const std::string&, run_memory&)> phase;
};

int header(wav_track& track, const std::string& name, run_memory&) { return parse_wav_header(track, name); }

int window(wav_track& track, const std::string& name, run_memory& memory) {
  track.data_pos = 44;
  track.frame_num = 50000;
  track.shortest_sample = 50000;
  return capture_windows(&track, &name, 1, memory.capture);
}

int raw_output(wav_track& track, const std::string& name, run_memory& memory) {
  track.data_pos = 44;
  return write_raw_outputs(&track, &name, 1, 0, 1.0, 50000, memory.output);
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
  held_memory memory;
  for (const seek_case& c : cases) {
    wav_track track;
    init_track(track, memory->windows[0]);
    track.index = 0;
    track.fp = unseekable(make_wav(c.layout, silent_frames(50000)));
    ASSERT_NE(track.fp, nullptr);
    console_capture console;
    EXPECT_EQ(c.phase(track, name, *memory.memory), 2) << c.name;
    EXPECT_TRUE(console.text().ends_with("Cannot read " + name + MESSAGE_END)) << c.name << "\n"
                                                                               << console.text();
    EXPECT_NE(access(dir.file("in.wav.raw").c_str(), F_OK), 0) << c.name << ": no raw file";
    release_track(track);
  }
}

#ifndef _WIN32
// The main sequence's own phases, the disk failing under a decoded track
// between loading and analysis: the run ends with the analysis phase's status.
TEST(input_seeks, read_error_in_the_analysis_ends_the_run_with_2) {
  if (!has_special_file("/proc/self/mem")) GTEST_SKIP() << "no /proc/self/mem on this system";
  temp_dir dir;
  const stereo original = music(50000, 5);
  write_file(dir.file("o.wav"), as_int_wav(original));
  write_file(dir.file("d.wav"), as_int_wav(codec_copy(original, 300, 0.9, 0.001)));
  const std::string original_path = dir.file("o.wav");
  const std::string decoded = dir.file("d.wav");
  const char* argv[] = {"wavmatch2", original_path.c_str(), decoded.c_str()};
  wavmatch_run run;
  console_capture console;
  ASSERT_EQ(load_tracks(run, 3, argv), 0) << console.text();
  // Every read of this process's memory at a low address fails with EIO.
  const int failing = open("/proc/self/mem", O_RDONLY);
  ASSERT_GE(failing, 0);
  ASSERT_GE(dup2(failing, fileno(run.tracks[1].fp)), 0);
  close(failing);
  EXPECT_EQ(analyse_tracks(run), 2);
  EXPECT_TRUE(console.text().ends_with("Cannot read " + decoded + MESSAGE_END)) << console.text();
}
#endif

}  // namespace
