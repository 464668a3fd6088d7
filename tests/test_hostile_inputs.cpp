// wavmatch2 on hostile inputs and surroundings: every malformed file of the
// header tests, a valid file cut at every byte of its header and first frames,
// FIFOs, sockets and devices where files belong, a standard output that fails,
// and too little memory: an address-space limit, or each allocation of a run
// refused in turn. The program must always end, never wait and never
// die on a signal, with one of its statuses and that status's message, and
// nothing on standard error (where the sanitizers of the checking build
// report) but the message about a lost standard output and the system's or
// the program's reason for a refused file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "line_ends.h"
#include "malformed_wavs.h"
#include "program_runner.h"
#include "signal_maker.h"
#include "wav_writer.h"

// The library that refuses one allocation of a program (LD_PRELOAD), where
// this build has one.
#ifndef ALLOCATION_SHIM_PATH
#define ALLOCATION_SHIM_PATH ""
#endif

namespace {

// The last line of a run that ends with each status holds one of these.
const std::map<int, std::vector<std::string>> CLOSING_MESSAGES = {
    {0, {"initial_offset   : "}},
    {2, {"Cannot open this", "Cannot read "}},
    {3, {"Not a valid RIFF WAV File", "Chunks too much."}},
    {4, {"This is not a linear(integer) or float PCM."}},
    {5, {"This is not a stereo file."}},
    {6, {"This is probably a "}},
    {7, {"There are no data chunk."}},
    {8, {"INPUT FILES TOO SHORT."}},
    {9, {"Output path is not available.", "Cannot write to "}},
    {10, {"Out of memory."}},
    {11, {"differs from the original's"}},
};

std::string last_line(const std::string& out) {
  const std::size_t end = sizeof MESSAGE_END - 1;
  const std::size_t start =
      out.size() <= end ? std::string::npos : out.rfind(MESSAGE_END, out.size() - end - 1);
  return out.substr(start == std::string::npos ? 0 : start + end);
}

void expect_orderly_end(const program_run& run, const std::string& what, const std::string& err = "") {
  EXPECT_GE(run.status, 0) << what;
  EXPECT_LE(run.status, 11) << what;
  EXPECT_EQ(run.err, err) << what;
  const std::string tail = last_line(run.out);
  const auto known = CLOSING_MESSAGES.find(run.status);
  ASSERT_NE(known, CLOSING_MESSAGES.end()) << what << ": status " << run.status;
  const std::vector<std::string>& endings = known->second;
  EXPECT_TRUE(std::any_of(endings.begin(), endings.end(),
                          [&](const std::string& ending) { return tail.find(ending) != std::string::npos; }))
      << what << "\n"
      << run.out;
}

TEST(hostile_inputs, malformed_headers_end_orderly) {
  temp_dir dir;
  write_file(dir.file("good.wav"), as_int_wav(music(41000)));
  for (const malformed::header_case& c : malformed::header_cases()) {
    write_file(dir.file("bad.wav"), malformed::file_of(c));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"bad.wav", "good.wav"}, std::vector<std::string>{"good.wav", "bad.wav"}}) {
      const program_run run = run_program(WAVMATCH2_PATH, args, dir.path, 120);
      expect_orderly_end(run, std::string(c.name) + " as " + args[0]);
      // Accepted headers of these small files are all too short to align,
      // unless their rate already differs from the original's.
      const bool other_rate = c.layout.sample_rate != 44100 && args[1] == "bad.wav";
      EXPECT_EQ(run.status, c.status != 0 ? c.status : other_rate ? 11 : 8) << c.name;
    }
  }
}

TEST(hostile_inputs, cut_at_every_byte_of_header_and_first_frames) {
  temp_dir dir;
  wav_layout layout;
  layout.before_fmt = {extra_chunk{"LIST", 9}};
  layout.after_fmt = {extra_chunk{"fact", 4}};
  const bytes audio = as_int_wav(music(41000));
  const bytes whole = make_wav(layout, bytes(audio.begin() + 44, audio.end()));
  write_file(dir.file("good.wav"), whole);
  const std::size_t header = whole.size() - 41000 * 8;
  for (std::size_t cut = 0; cut < header + 64; ++cut) {
    write_file(dir.file("cut.wav"), bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"cut.wav", "good.wav"}, std::vector<std::string>{"good.wav", "cut.wav"}}) {
      const program_run run = run_program(WAVMATCH2_PATH, args, dir.path, 120);
      expect_orderly_end(run, "cut at " + std::to_string(cut) + " as " + args[0]);
      EXPECT_NE(run.status, 0) << "cut at " << cut;
    }
  }
}

// What stands where the program expects a regular file.
enum class special { fifo, fifo_held_open, socket, link_to_device };

struct special_case {
  const char* name;
  special kind;
  const char* at;  // in the run's folder
  std::vector<std::string> args;
  int status;
  std::string closing;
};

// Makes the special file; returns a descriptor to keep open during the run
// (the other end of a FIFO), or -1.
int make_special(special kind, const std::string& path) {
  if (kind == special::link_to_device) return symlink("/dev/null", path.c_str()) == 0 ? -1 : -2;
  if (kind == special::socket) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    return bound && listen(fd, 1) == 0 ? fd : -2;
  }
  if (mkfifo(path.c_str(), 0644) != 0) return -2;
  // Opened for reading and writing, the FIFO has a reader and a writer.
  return kind == special::fifo_held_open ? open(path.c_str(), O_RDWR | O_NONBLOCK) : -1;
}

// A FIFO, socket or device given as an input, or standing at a raw output's
// path, with or without a program at its other end, is refused at once. A run
// that waits is killed at its time bound and fails its row.
TEST(hostile_inputs, special_files_are_refused_without_waiting) {
  const std::string cannot_open = "Cannot open this file : ";
  const std::string unavailable = "Output path is not available." MESSAGE_END;
  const std::vector<special_case> cases = {
      {"input FIFO", special::fifo, "p.wav", {"o.wav", "p.wav"}, 2, cannot_open + "p.wav" MESSAGE_END},
      {"input FIFO with a writer",
       special::fifo_held_open,
       "p.wav",
       {"o.wav", "p.wav"},
       2,
       cannot_open + "p.wav" MESSAGE_END},
      {"original is a FIFO",
       special::fifo,
       "p.wav",
       {"p.wav", "o.wav"},
       2,
       cannot_open + "p.wav" MESSAGE_END},
      {"input socket", special::socket, "s.wav", {"o.wav", "s.wav"}, 2, cannot_open + "s.wav" MESSAGE_END},
      {"input device",
       special::link_to_device,
       "n.wav",
       {"o.wav", "n.wav"},
       2,
       cannot_open + "n.wav" MESSAGE_END},
      {"output FIFO", special::fifo, "d.raw", {"o.wav", "d32b.wav"}, 9, unavailable},
      {"output FIFO with a reader", special::fifo_held_open, "d.raw", {"o.wav", "d32b.wav"}, 9, unavailable},
      {"output socket", special::socket, "d.raw", {"o.wav", "d32b.wav"}, 9, unavailable},
      {"output device", special::link_to_device, "d.raw", {"o.wav", "d32b.wav"}, 9, unavailable},
  };
  const stereo o = music(50000, 5);
  for (const special_case& c : cases) {
    temp_dir dir;
    write_file(dir.file("o.wav"), as_int_wav(o));
    write_file(dir.file("d32b.wav"), as_int_wav(codec_copy(o, 0, 1.0, 0)));
    const int held = make_special(c.kind, dir.file(c.at));
    ASSERT_NE(held, -2) << c.name;
    const program_run run = run_program(WAVMATCH2_PATH, c.args, dir.path, 60);
    if (held >= 0) close(held);
    EXPECT_EQ(run.status, c.status) << c.name;
    EXPECT_EQ(last_line(run.out), c.closing) << c.name << "\n" << run.out;
    // A raw path is refused before any raw file is written, with the reason.
    expect_orderly_end(run, c.name,
                       c.status == 9 ? "wavmatch2: d.raw: is not a regular file" MESSAGE_END : "");
  }
}

struct lost_output_case {
  const char* name;
  std::string command;  // run by /bin/sh in a folder holding o.wav and d32b.wav
  int status;
  bool writes_raw;
  std::string reason = "";  // the system's reason for an earlier failure, on standard error
};

// A report that cannot reach its reader ends the run with 9 once the raw files
// are written, unless an earlier failure has its own status; only standard
// error can say so.
TEST(hostile_inputs, lost_standard_output_is_a_failure) {
  const std::string program = std::string("exec ") + WAVMATCH2_PATH;
  // A FIFO whose only reader is closed before the program starts: the first
  // write meets a closed pipe, as under "| head -c 0".
  const std::string closed_pipe = "mkfifo p && exec 4<>p 5>p 4<&- && ";
  const std::vector<lost_output_case> cases = {
      {"full device", program + " o.wav d32b.wav >/dev/full", 9, true},
      {"closed pipe", closed_pipe + program + " o.wav d32b.wav >&5 5>&-", 9, true},
      {"usage to a full device", program + " >/dev/full", 9, false},
      {"earlier failure keeps its status", program + " missing.wav d32b.wav >/dev/full", 2, false,
       "wavmatch2: missing.wav: No such file or directory" MESSAGE_END},
  };
  const stereo o = music(50000, 5);
  for (const lost_output_case& c : cases) {
    temp_dir dir;
    write_file(dir.file("o.wav"), as_int_wav(o));
    write_file(dir.file("d32b.wav"), as_int_wav(codec_copy(o, 0, 1.0, 0)));
    const program_run run = run_program("/bin/sh", {"-c", c.command}, dir.path, 60);
    EXPECT_EQ(run.status, c.status) << c.name;
    EXPECT_EQ(run.err, c.reason + "Cannot write to standard output" MESSAGE_END) << c.name;
    for (const char* raw : {"o.wav.raw", "d.raw"}) {
      EXPECT_EQ(read_file(dir.file(raw)).size(), c.writes_raw ? 4u * 50000 : 0u) << c.name << " " << raw;
    }
  }
}

// The shell words before the program that limit its address space.
std::string address_limit(long kilobytes) { return "ulimit -v " + std::to_string(kilobytes) + " && "; }

// One run of wavmatch2, its command preceded by `setting` (shell words that
// limit its memory), in a folder of three tracks. The raw files it leaves are
// measured and removed.
program_run limited_run(const temp_dir& dir, const std::string& setting, const std::vector<std::string>& args,
                        std::vector<long>* raw_sizes = nullptr) {
  std::string command = setting + "exec " + WAVMATCH2_PATH;
  for (const std::string& a : args) command += " " + a;
  const program_run run = run_program("/bin/sh", {"-c", command}, dir.path, 120);
  for (const char* raw : {"o.wav.raw", "d.raw", "e.raw"}) {
    struct stat info;
    const bool made = stat(dir.file(raw).c_str(), &info) == 0;
    if (raw_sizes != nullptr) raw_sizes->push_back(made ? static_cast<long>(info.st_size) : -1);
    unlink(dir.file(raw).c_str());
  }
  return run;
}

// Three tracks, and the sizes of their raw files when nothing fails.
struct memory_sweep {
  temp_dir dir;
  const std::vector<std::string> args = {"o.wav", "d32b.wav", "e32b.wav"};
  std::vector<long> complete;
  int out_of_memory = 0;  // runs that ended with 10

  memory_sweep() {
    const stereo o = music(50000, 5);
    write_file(dir.file("o.wav"), as_int_wav(o));
    write_file(dir.file("d32b.wav"), as_int_wav(codec_copy(o, 300, 0.9, 0.001)));
    write_file(dir.file("e32b.wav"), as_float_wav(codec_copy(o, -100, 1.1, 0.001)));
    EXPECT_EQ(limited_run(dir, "", args, &complete).status, 0);
  }

  // A run under `setting` ends with 0 or 10, never on a signal, and leaves
  // every raw file complete or not at all.
  void expect_orderly_run(const std::string& setting, const std::string& what) {
    std::vector<long> sizes;
    const program_run run = limited_run(dir, setting, args, &sizes);
    ASSERT_TRUE(run.status == 0 || run.status == 10) << what << ": status " << run.status << "\n" << run.err;
    expect_orderly_end(run, what);
    if (run.status == 10) ++out_of_memory;
    for (std::size_t k = 0; k < complete.size(); ++k) {
      EXPECT_TRUE(sizes[k] == -1 || sizes[k] == complete[k]) << what << ": raw file " << k << " " << sizes[k];
    }
  }
};

// The least limit, to 16 KiB, at which a run passes the check.
template <typename check>
long least_limit(long low, long high, check passes) {
  while (high - low > 16) {
    const long middle = low + (high - low) / 2;
    (passes(middle) ? high : low) = middle;
  }
  return high;
}

// Memory that runs out anywhere, from start-up to the last raw file.
TEST(hostile_inputs, out_of_memory_anywhere_ends_with_10) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space and cannot run under a memory limit";
#endif
  memory_sweep sweep;
  // Below the start-up floor the system cannot even load the program; from
  // there up to what a whole run needs, every limit is tried.
  const long generous = 1L << 20;  // 1 GiB
  const long floor = least_limit(1024, generous, [&](long kilobytes) {
    const int status = limited_run(sweep.dir, address_limit(kilobytes), {}).status;
    return status == 0 || status == 10;
  });
  const long enough = least_limit(floor, generous, [&](long kilobytes) {
    return limited_run(sweep.dir, address_limit(kilobytes), sweep.args).status == 0;
  });
  const long step = std::max(16L, (enough - floor) / 160);
  for (long kilobytes = floor; kilobytes <= enough; kilobytes += step) {
    sweep.expect_orderly_run(address_limit(kilobytes), "limit " + std::to_string(kilobytes) + " KiB");
  }
  EXPECT_GT(sweep.out_of_memory, 0) << "no limit between " << floor << " and " << enough
                                    << " KiB ran out of memory";
}

// Each allocation of a run refused in turn, the C library's and the C++
// runtime's included, from the first of the process to the last.
TEST(hostile_inputs, every_refused_allocation_ends_with_0_or_10) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer brings its own malloc, which a preloaded library cannot replace";
#endif
  const std::string shim = ALLOCATION_SHIM_PATH;
  if (shim.empty()) GTEST_SKIP() << "no allocation-failure library in this build";
  memory_sweep sweep;
  const std::string preload = "export LD_PRELOAD=" + shim + " && ";
  const std::string count_file = sweep.dir.file("allocations");
  ASSERT_EQ(
      limited_run(sweep.dir, preload + "export ALLOCATION_COUNT_FILE=" + count_file + " && ", sweep.args)
          .status,
      0);
  const bytes count = read_file(count_file);
  const long allocations = std::stol(std::string(count.begin(), count.end()));
  ASSERT_GT(allocations, 0);
  for (long n = 1; n <= allocations; ++n) {
    sweep.expect_orderly_run(preload + "export FAIL_ALLOCATION=" + std::to_string(n) + " && ",
                             "allocation " + std::to_string(n) + " of " + std::to_string(allocations));
  }
  EXPECT_GT(sweep.out_of_memory, 0);
}

}  // namespace
