// The aligned raw output: rounding, clamping and byte order of the values, the
// output names, and what happens when an output cannot be written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "console_capture.h"
#include "ending_signals.h"
#include "held_memory.h"
#include "program_runner.h"
#include "raw_writer.h"
#include "signal_maker.h"
#include "track_record.h"
#include "wav_track.h"
#include "wav_writer.h"

namespace {

constexpr double FULL_SCALE_GAIN_1 = 32768 / 1.2;  // output_scale of the loudest track

struct value_case {
  double value;
  double scale;
  int expected;
  int clips;
};

TEST(output_value, rounds_toward_minus_infinity_and_clamps) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<value_case> cases = {
      {-0.5, 1.0, -1, 0},
      {0.5, 1.0, 0, 0},
      {-2.0, 1.0, -2, 0},
      {258.9, 1.0, 258, 0},
      {-0.0, 1.0, 0, 0},
      {1.0, FULL_SCALE_GAIN_1, 27306, 0},  // integer full scale never clips
      {-1.0, FULL_SCALE_GAIN_1, -27307, 0},
      {32700.5, 1.0, 32700, 0},
      {32701.0, 1.0, 32700, 1},
      {-32700.0, 1.0, -32700, 0},
      {-32700.5, 1.0, -32700, 1},
      {1.1975, FULL_SCALE_GAIN_1, 32699, 0},  // floats clip beyond about 1.1975 x full scale
      {1.1976, FULL_SCALE_GAIN_1, 32700, 1},
      {-1.1976, FULL_SCALE_GAIN_1, -32700, 1},
      {1e30, FULL_SCALE_GAIN_1, 32700, 1},  // far beyond what an int can hold
      {-1e30, FULL_SCALE_GAIN_1, -32700, 1},
      {inf, FULL_SCALE_GAIN_1, 32700, 1},
      {-inf, FULL_SCALE_GAIN_1, -32700, 1},
      {std::nan(""), FULL_SCALE_GAIN_1, 0, 1},
      {0.7, 0.0, 0, 0},  // a gain-0 track is silence
  };
  for (const value_case& c : cases) {
    int clips = 0;
    EXPECT_EQ(output_value(c.value, c.scale, clips), c.expected) << c.value << " x " << c.scale;
    EXPECT_EQ(clips, c.clips) << c.value << " x " << c.scale;
  }
}

TEST(input_value, integers_become_single_precision_at_full_scale_1) {
  const unsigned char max_int[4] = {0xFF, 0xFF, 0xFF, 0x7F};
  const unsigned char min_int[4] = {0x00, 0x00, 0x00, 0x80};
  const unsigned char odd_int[4] = {0x01, 0x00, 0x00, 0x40};  // 2^30 + 1: rounds to 0.5
  EXPECT_EQ(input_value(max_int, false), 1.0);
  EXPECT_EQ(input_value(min_int, false), -1.0);
  EXPECT_EQ(input_value(odd_int, false), 0.5);
  const unsigned char float_half[4] = {0x00, 0x00, 0x00, 0x3F};
  EXPECT_EQ(input_value(float_half, true), 0.5);
}

TEST(raw_path, cuts_at_the_first_32b_wav_and_appends_raw) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"song32b.wav", "song.raw"},
      {"a32b.wav", "a.raw"},
      {"song.wav", "song.wav.raw"},
      {"A32B.WAV", "A32B.WAV.raw"},
      {"dir/x32b.wav/song.wav", "dir/x.raw"},
      {"x32b.wav.opus.wav", "x.raw"},
      {"a32b.wav32b.wav", "a.raw"},
      {"", ".raw"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(raw_path_for(in), out) << in;
}

// Whole runs around the output phase, in a folder of their own.
struct output_run {
  temp_dir dir;
  program_run result;
  std::string file(const std::string& name) const { return dir.file(name); }
  void run(const std::vector<std::string>& args) { result = run_program(WAVMATCH2_PATH, args, dir.path); }
  bool exists(const std::string& name) const { return access(file(name).c_str(), F_OK) == 0; }
  long size(const std::string& name) const {
    struct stat info;
    return stat(file(name).c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
  }
};

constexpr std::size_t FRAMES = 50000;

int reported(const std::string& out, const std::string& key) {
  const std::size_t at = out.find(key);
  return at == std::string::npos ? -1 : std::stoi(out.substr(at + key.size()));
}

TEST(raw_output, files_are_aligned_equal_length_and_little_endian) {
  output_run r;
  const stereo o = music(FRAMES, 3);
  write_file(r.file("o.wav"), as_int_wav(o));
  write_file(r.file("late32b.wav"), as_int_wav(codec_copy(o, 300, 1.0, 0)));
  write_file(r.file("early32b.wav"), as_float_wav(codec_copy(o, -200, 1.0, 0)));
  r.run({"o.wav", "late32b.wav", "early32b.wav"});
  ASSERT_EQ(r.result.status, 0) << r.result.out;
  const int shortest = reported(r.result.out, "shortest_sample  : ");
  EXPECT_EQ(shortest, static_cast<int>(FRAMES) - 500);
  for (const char* name : {"o.wav.raw", "late.raw", "early.raw"})
    EXPECT_EQ(r.size(name), 4L * shortest) << name;
  EXPECT_EQ(r.result.out.find("Clipped"), std::string::npos);  // integer inputs never clip

  // The original starts at its input frame -smallest_delay = 200; the late copy
  // at 300 + 200; the early one at its frame 0. All three hold the same music.
  const bytes original = read_file(r.file("o.wav.raw"));
  const bytes late = read_file(r.file("late.raw"));
  EXPECT_EQ(original, late);
  const double scale = 32768 / 1.2;
  for (std::size_t i = 1000; i < 1010; ++i) {
    const double value =
        static_cast<float>(static_cast<double>(std::lround(o.left[200 + i] * 2147483648.0)) / 2147483648.0);
    const int v = static_cast<int>(std::floor(value * scale));
    EXPECT_EQ(original[4 * i], static_cast<unsigned char>(v & 0xFF));
    EXPECT_EQ(original[4 * i + 1], static_cast<unsigned char>((v >> 8) & 0xFF));
  }
}

TEST(raw_output, loud_floats_clip_and_are_counted_per_track) {
  output_run r;
  stereo o = music(FRAMES, 2, 0.3);
  o.left[20000] = 1.25;  // beyond 1.1975 x full scale in the loudest track
  o.right[20001] = -1.3;
  o.left[20002] = 1.19;  // just below
  write_file(r.file("o.wav"), as_float_wav(o));
  write_file(r.file("d32b.wav"), as_float_wav(codec_copy(o, 0, 1.0, 0)));
  r.run({"o.wav", "d32b.wav"});
  EXPECT_EQ(r.result.status, 0);
  EXPECT_NE(r.result.out.find("FLO 0>o.wav         > Clipped 2 times." MESSAGE_END), std::string::npos)
      << r.result.out;
  EXPECT_NE(r.result.out.find("FLO 1>d32b.wav      > Clipped 2 times." MESSAGE_END), std::string::npos)
      << r.result.out;
}

TEST(raw_output, folder_named_like_a_decoded_file_shortens_the_path) {
  output_run r;
  ASSERT_EQ(mkdir(r.file("x32b.wav").c_str(), 0755), 0);
  const stereo o = music(FRAMES, 5);
  write_file(r.file("o.wav"), as_int_wav(o));
  write_file(r.file("x32b.wav/song.wav"), as_int_wav(o));
  r.run({"o.wav", "x32b.wav/song.wav"});
  EXPECT_EQ(r.result.status, 0);
  EXPECT_TRUE(r.exists("x.raw"));
}

struct refusal_case {
  const char* name;
  std::vector<std::string> inputs;  // written as WAV files; the first is the original
  std::vector<std::string> args;
  std::string reason;                  // on standard error
  std::vector<std::string> untouched;  // inputs that must keep their bytes
};

// No output may truncate an input, replace another stimulus of the run, or be
// a folder or a name the system cannot hold. Every raw path is checked before
// the first raw file is written: a refused run writes none. A folder at
// c.raw and a link d.raw to d32b.wav are made where a row names them.
TEST(raw_output, unsafe_outputs_end_with_9_before_any_is_written) {
  const std::string long_name(251, 'n');  // with ".wav.raw", beyond 255 bytes
  const std::vector<refusal_case> cases = {
      {"output would overwrite an input",
       {"o.wav", "o.wav.raw"},
       {"o.wav", "o.wav.raw"},
       "wavmatch2: o.wav.raw: would overwrite the input o.wav.raw" MESSAGE_END,
       {"o.wav.raw"}},
      {"output is a link to an input",
       {"o.wav", "d32b.wav"},
       {"o.wav", "d32b.wav"},
       "wavmatch2: d.raw: would overwrite the input d32b.wav" MESSAGE_END,
       {"d32b.wav"}},
      {"two decoded files map to one raw file",
       {"o.wav", "x32b.wav", "x32b.wav.opus.wav"},
       {"o.wav", "x32b.wav", "x32b.wav.opus.wav"},
       "wavmatch2: x.raw: is also the raw file of x32b.wav" MESSAGE_END,
       {}},
      {"one file given twice",
       {"o.wav", "b32b.wav"},
       {"o.wav", "b32b.wav", "./b32b.wav"},
       "wavmatch2: ./b.raw: is also the raw file of b32b.wav" MESSAGE_END,
       {}},
      {"third raw path is a folder",
       {"a.wav", "b32b.wav", "c32b.wav"},
       {"a.wav", "b32b.wav", "c32b.wav"},
       "wavmatch2: c.raw: Is a directory" MESSAGE_END,
       {}},
      // Found only by creating it: every raw file is created before any is written.
      {"third raw path is a link to nothing",
       {"a.wav", "b32b.wav", "c32b.wav"},
       {"a.wav", "b32b.wav", "c32b.wav"},
       "wavmatch2: c.raw: No such file or directory" MESSAGE_END,
       {}},
      {"raw name too long",
       {"o.wav", long_name + ".wav"},
       {"o.wav", long_name + ".wav"},
       "wavmatch2: " + long_name + ".wav.raw: File name too long" MESSAGE_END,
       {}},
  };
  for (const refusal_case& c : cases) {
    output_run r;
    const stereo o = music(FRAMES, 5);
    for (std::size_t i = 0; i < c.inputs.size(); ++i) {
      write_file(r.file(c.inputs[i]), as_int_wav(codec_copy(o, static_cast<int>(i), 1.0, 0)));
    }
    if (c.reason.find("c.raw: Is a directory") != std::string::npos) {
      ASSERT_EQ(mkdir(r.file("c.raw").c_str(), 0755), 0);
    }
    if (c.reason.find("c.raw: No such") != std::string::npos) {
      ASSERT_EQ(symlink("gone/c.raw", r.file("c.raw").c_str()), 0);
    }
    if (c.reason.find("d.raw") != std::string::npos) {
      ASSERT_EQ(symlink("d32b.wav", r.file("d.raw").c_str()), 0);
    }
    std::vector<bytes> before;
    for (const std::string& name : c.untouched) before.push_back(read_file(r.file(name)));
    r.run(c.args);
    EXPECT_EQ(r.result.status, 9) << c.name;
    EXPECT_TRUE(r.result.out.ends_with(MESSAGE_END "Output path is not available." MESSAGE_END))
        << c.name << "\n"
        << r.result.out;
    EXPECT_EQ(r.result.err, c.reason) << c.name;
    for (std::size_t i = 0; i < c.untouched.size(); ++i) {
      EXPECT_EQ(read_file(r.file(c.untouched[i])), before[i]) << c.name;
    }
    for (const char* raw : {"a.wav.raw", "o.wav.raw", "b.raw", "x.raw"}) {
      EXPECT_TRUE(!r.exists(raw) || c.inputs.back() == raw) << c.name << ": " << raw << " written";
    }
  }
}

// A small tmpfs, mounted for one test and unmounted after it.
struct small_disk {
  std::string path;
  bool mounted = false;
  small_disk(const std::string& at, int pages) : path(at) {
    mkdir(path.c_str(), 0755);
    const std::string options = "size=" + std::to_string(pages * 4096);
    mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~small_disk() {
    if (mounted) umount2(path.c_str(), MNT_DETACH);
  }
};

struct full_disk_case {
  const char* name;
  std::vector<std::string> args;
  std::string message;
  std::string link;  // when not empty: d.raw is a symbolic link to this file on the small disk
};

// A disk that fills up while a raw file is written: the incomplete file is
// removed (a link's target, not the link), the raw files before it stay
// complete, and the run ends with 9.
TEST(raw_output, full_disk_removes_the_file_being_written) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const std::vector<full_disk_case> cases = {
      {"raw file on the full disk",
       {"o.wav", "small/d32b.wav"},
       "Cannot write to small/d.raw" MESSAGE_END,
       ""},
      {"raw path links to the full disk",
       {"o.wav", "d32b.wav"},
       "Cannot write to d.raw" MESSAGE_END,
       "small/old.raw"},
  };
  for (const full_disk_case& c : cases) {
    output_run r;
    small_disk disk(r.file("small"), 16);  // 64 KiB, a third of a raw file
    if (!disk.mounted) GTEST_SKIP() << "this system does not let the test mount a tmpfs";
    const stereo o = music(FRAMES, 5);
    write_file(r.file("o.wav"), as_int_wav(o));
    write_file(r.file("d32b.wav"), as_int_wav(codec_copy(o, 0, 1.0, 0)));
    ASSERT_EQ(symlink("../d32b.wav", r.file("small/d32b.wav").c_str()), 0);
    if (!c.link.empty()) {
      write_file(r.file(c.link), bytes(100, 1));
      ASSERT_EQ(symlink(c.link.c_str(), r.file("d.raw").c_str()), 0);
    }
    r.run(c.args);
    EXPECT_EQ(r.result.status, 9) << c.name;
    EXPECT_TRUE(r.result.out.ends_with(c.message)) << c.name << "\n" << r.result.out;
    EXPECT_EQ(r.size("o.wav.raw"), 4L * static_cast<long>(FRAMES)) << c.name;
    EXPECT_FALSE(r.exists("small/d.raw")) << c.name;
    if (!c.link.empty()) {
      struct stat link;
      EXPECT_TRUE(lstat(r.file("d.raw").c_str(), &link) == 0 && S_ISLNK(link.st_mode))
          << c.name << ": link kept";
      EXPECT_FALSE(r.exists(c.link)) << c.name << ": target removed";
    }
  }
}

// An input that fails, or that has shrunk since its header was read, stops
// the run with 2; the raw file being written is removed. Frames beyond a
// shrunk file's end would otherwise be written as a constant value.
TEST(raw_output, input_read_error_or_shrunk_input_removes_the_output_and_ends_with_2) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"read error", "/proc/self/mem"},  // reads at offset 0 fail with EIO
      {"input shorter than its header said", "short"},
  };
  for (const auto& [name, source] : cases) {
    temp_dir dir;
    held_memory memory;
    wav_track track;
    init_track(track, memory->windows[0]);
    track.index = 0;
    write_file(dir.file("short"), bytes(8 * 1000, 1));
    const std::string from = source.starts_with("/") ? source : dir.file(source);
    track.fp = std::fopen(from.c_str(), "rb");
    ASSERT_NE(track.fp, nullptr) << name;
    const std::string path = dir.file("in.wav");
    console_capture console;
    EXPECT_EQ(write_raw_outputs(&track, &path, 1, 0, 1.0, 50000, memory->output), 2) << name;
    EXPECT_EQ(console.text(), "Cannot read " + path + MESSAGE_END) << name;
    EXPECT_NE(access(dir.file("in.wav.raw").c_str(), F_OK), 0) << name;
    release_track(track);
  }
}

// A file-size limit (ulimit -f) fails the write as a full disk does: the run
// ends with 9 and the system's reason, and the file is emptied before it is
// removed, so that another hard link to it keeps none of the partial stimulus.
TEST(raw_output, file_size_limit_fails_the_write_and_leaves_no_partial_data) {
  for (const bool hard_link : {false, true}) {
    output_run r;
    const stereo o = music(FRAMES, 5);
    write_file(r.file("o.wav"), as_int_wav(o));
    write_file(r.file("d32b.wav"), as_int_wav(codec_copy(o, 0, 1.0, 0)));
    if (hard_link) {
      write_file(r.file("kept.raw"), bytes(100, 1));
      ASSERT_EQ(link(r.file("kept.raw").c_str(), r.file("o.wav.raw").c_str()), 0);
    }
    // 100 blocks of 512 or 1024 bytes, as the shell counts them: a quarter of a raw file at most.
    const std::string command = "ulimit -f 100 && exec " + shell_command(WAVMATCH2_PATH) + " o.wav d32b.wav";
    r.result = run_program("/bin/sh", {"-c", command}, r.dir.path);
    EXPECT_EQ(r.result.status, 9) << hard_link;
    EXPECT_TRUE(r.result.out.ends_with("Cannot write to o.wav.raw" MESSAGE_END)) << r.result.out;
    EXPECT_EQ(r.result.err, "wavmatch2: o.wav.raw: File too large" MESSAGE_END);
    EXPECT_FALSE(r.exists("o.wav.raw"));
    EXPECT_FALSE(r.exists("d.raw"));
    EXPECT_EQ(r.size("kept.raw"), hard_link ? 0 : -1);
  }
}

// Every signal whose default action ends the program (Ctrl-C, Ctrl-\\, kill,
// a closed terminal, a CPU-time limit...) while the raw files are written: the program
// removes the file it was writing and then dies of the signal, so that its
// caller sees it. Inputs of a hundred million frames, mostly a hole in the
// file, keep it writing long enough to be caught at it; wherever the signal
// lands, no raw file shorter than a whole one may be left.
TEST(raw_output, signal_during_output_leaves_no_partial_file) {
  constexpr uint32_t LONG_FRAMES = 100'000'000;
  for (const int number : ENDING_SIGNALS) {
    temp_dir dir;
    const bytes music_start = as_int_wav(music(60000, 5));
    wav_layout layout;
    layout.data_length = int64_t{LONG_FRAMES} * 8;
    const bytes head = make_wav(layout, bytes(music_start.begin() + 44, music_start.end()));
    for (const char* name : {"o.wav", "d32b.wav"}) {
      write_file(dir.file(name), head);
      ASSERT_EQ(truncate(dir.file(name).c_str(), 44 + int64_t{LONG_FRAMES} * 8), 0);
    }
    const pid_t pid = fork();
    if (pid == 0) {
      for (const int caught : ENDING_SIGNALS) signal(caught, SIG_DFL);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      if (chdir(dir.path.c_str()) != 0) _exit(127);
      exec_program(WAVMATCH2_PATH, {"o.wav", "d32b.wav"});
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    bool ended = false;
    while (!ended && access(dir.file("o.wav.raw").c_str(), F_OK) != 0) {
      ended = waitpid(pid, &status, WNOHANG) == pid;
      usleep(1000);
    }
    if (!ended) {
      kill(pid, number);
      waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == number) << strsignal(number) << ": " << status;
    for (const char* raw : {"o.wav.raw", "d.raw"}) {
      struct stat info;
      if (stat(dir.file(raw).c_str(), &info) != 0) continue;
      EXPECT_EQ(info.st_size, int64_t{LONG_FRAMES} * 4) << strsignal(number) << ": " << raw;
    }
  }
}

}  // namespace
