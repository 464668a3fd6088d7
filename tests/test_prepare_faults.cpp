// abchr-prepare interrupted and let down: SIGINT while the decoders run and
// while the stimuli are written leaves no output folder, no temporary file
// and no decoder running, and the program ends by the signal; a decoder that
// fails or is killed ends the run with its name and how it ended. Stand-in
// decoders (shell scripts named ffmpeg) play the faults.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "prepare_runs.h"
#include "temp_dir.h"
#include "tool_lookup.h"

namespace {

constexpr std::size_t SONG_FRAMES = 20 * MUSIC_RATE;

// A folder for PATH with ffprobe and, as ffmpeg, a shell script of `body`
// (or the real one when body is empty).
std::string decoder_folder(const temp_dir& dir, const std::string& body) {
  const std::string bin = dir.file("bin");
  std::filesystem::create_directory(bin);
  std::filesystem::create_symlink(find_on_path("ffprobe"), bin + "/ffprobe");
  if (body.empty()) {
    std::filesystem::create_symlink(find_on_path("ffmpeg"), bin + "/ffmpeg");
  } else {
    std::ofstream(bin + "/ffmpeg") << "#!/bin/sh\n" << body << "\n";
    chmod((bin + "/ffmpeg").c_str(), 0755);
  }
  return bin;
}

// Runs abchr-prepare in `workdir` and calls `act` with its process id once its
// standard error holds `trigger`. Returns the status as run_program does.
program_run run_acting(const std::vector<std::string>& args, const std::string& workdir,
                       const std::string& path, const std::string& trigger,
                       const std::function<void(pid_t)>& act) {
  program_run result;
  int err_pipe[2];
  if (pipe(err_pipe) != 0) return result;
  const std::string saved = std::getenv("PATH");
  setenv("PATH", path.c_str(), 1);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(err_pipe[1], 2);
    close(err_pipe[0]);
    close(err_pipe[1]);  // else the decoders would hold the pipe open too
    if (chdir(workdir.c_str()) != 0) _exit(127);
    alarm(120);
    exec_program(ABCHR_PREPARE_PATH, args);
  }
  setenv("PATH", saved.c_str(), 1);
  close(err_pipe[1]);
  bool acted = false;
  char buffer[4096];
  for (ssize_t n; (n = read(err_pipe[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    result.err.append(buffer, static_cast<std::size_t>(n));
    if (!acted && result.err.find(trigger) != std::string::npos) {
      acted = true;
      act(pid);
    }
  }
  close(err_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

// The process is gone, or a zombie that its new parent has yet to reap,
// within two seconds.
bool ends_soon(pid_t pid) {
  for (int wait = 0; wait < 200; ++wait) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (kill(pid, 0) != 0 || !std::getline(stat, line)) return true;
    const std::size_t close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') return true;
    usleep(10000);
  }
  return false;
}

struct fault_row {
  const char* name;
  const char* decoder;  // the stand-in ffmpeg's script, "" for the real one
  const char* trigger;  // the progress line that the action waits for
  int signal;           // sent at the trigger; 0 for none
  int status;
  const char* message;
};

void PrintTo(const fault_row& r, std::ostream* os) { *os << r.name; }

// The stand-in that waits records its process id beside the song, so that the
// test can tell that no decoder outlives the run.
const std::vector<fault_row> rows = {
    {"sigint_while_decoding", "echo $$ >> ../pids; exec /bin/sleep 60", "decoding 3/3", SIGINT, 128 + SIGINT,
     ""},
    // Nothing catches SIGKILL: the decoders must end with the program all the same.
    {"sigkill_while_decoding", "echo $$ >> ../pids; exec /bin/sleep 60", "decoding 3/3", SIGKILL,
     128 + SIGKILL, ""},
    {"sigint_while_writing", "", "writing 1/", SIGINT, 128 + SIGINT, ""},
    {"decoder_fails", "echo 'stand-in gave up' >&2; exit 3", "", 0, 3,
     ": ffmpeg failed with status 3: stand-in gave up"},
    {"decoder_killed", "kill -9 $$", "", 0, 3, ": ffmpeg was killed by signal 9"},
};

class prepare_faults : public ::testing::TestWithParam<fault_row> {};

TEST_P(prepare_faults, nothing_left_and_the_cause_named) {
  const fault_row& row = GetParam();
  if (find_on_path("ffmpeg").empty() || find_on_path("ffprobe").empty())
    GTEST_SKIP() << "not installed: ffmpeg";
  temp_dir dir;
  const std::string bin = decoder_folder(dir, row.decoder);
  const std::string song = dir.file("song");
  std::filesystem::create_directory(song);
  const std::vector<int16_t> music = music_16(SONG_FRAMES);
  write_file(song + "/song.wav", pcm16_wav(music));
  // Encoded files of their own, each at another level.
  std::vector<std::string> args{"-j", "3", "song.wav"};
  const int encoded = std::string(row.name) == "sigint_while_writing" ? 8 : 2;
  for (int k = 1; k <= encoded; ++k) {
    args.push_back("copy" + std::to_string(k) + ".wav");
    write_file(song + "/" + args.back(), float_music_wav(music, 1.0 - 0.01 * k));
  }
  const std::vector<std::string> before = listing(song);

  // Stopped at the trigger, then interrupted: the signal lands in the step
  // the trigger announces, however fast the machine.
  const program_run run = run_acting(args, song, bin, row.signal != 0 ? row.trigger : "\n", [&](pid_t pid) {
    if (row.signal == 0) return;
    kill(pid, SIGSTOP);
    if (std::string(row.trigger) == "decoding 3/3") {
      // Every stand-in has started once three pids are written.
      for (int wait = 0; wait < 500; ++wait) {
        const bytes pids = read_file(dir.file("pids"));
        if (std::count(pids.begin(), pids.end(), '\n') == 3) break;
        usleep(10000);
      }
    }
    kill(pid, row.signal);
    kill(pid, SIGCONT);
  });
  EXPECT_EQ(run.status, row.status) << run.err;
  EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
  // What SIGKILL leaves in the test folder, the next run removes (a row of
  // test_folder_program_tests).
  if (row.signal != SIGKILL) {
    EXPECT_EQ(listing(song), before) << run.err;
  }
  std::ifstream pids(dir.file("pids"));
  for (pid_t pid; pids >> pid;) EXPECT_TRUE(ends_soon(pid)) << "stand-in decoder " << pid << " still runs";
}

INSTANTIATE_TEST_SUITE_P(rows, prepare_faults, ::testing::ValuesIn(rows),
                         [](const ::testing::TestParamInfo<fault_row>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
