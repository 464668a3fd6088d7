// What logsweep makes of a log must be what a real terminal shows for it:
// each log is written into a tmux pane (UTF-8 locale, wider than any line),
// the pane is captured and compared line by line with logsweep's output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "logsweep_files.h"
#include "program_runner.h"

namespace {

const std::string LOGSWEEP = LOGSWEEP_PATH;
const std::string END_MARK = "@@end-of-log@@";
constexpr int PANE_WIDTH = 200;
constexpr int PANE_HEIGHT = 60;

std::string find_tmux() {
#ifdef _WIN32
  return "";  // a terminal of Unix systems; under wine the host's would show through drive Z:
#endif
  for (const char* candidate : {"/usr/bin/tmux", "/usr/local/bin/tmux", "/bin/tmux"}) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  return "";
}

// A tmux server of our own (its own socket name), killed when the test ends.
struct tmux_server {
  std::string tmux;
  std::string socket = "logsweep-test-" + std::to_string(getpid());

  program_run run(const std::vector<std::string>& args) const {
    std::vector<std::string> full = {"-u", "TMUX", "LC_ALL=C.UTF-8", "LANG=C.UTF-8", "SHELL=/bin/sh", tmux,
                                     "-u", "-L",   socket,           "-f",           "/dev/null"};
    full.insert(full.end(), args.begin(), args.end());
    return run_program("/usr/bin/env", full);
  }
  ~tmux_server() { run({"kill-server"}); }
};

// Lines as text: without the CR that text mode puts before each LF, without
// trailing blanks (a terminal does not keep them apart from empty cells) and
// without empty lines at the end.
std::vector<std::string> screen_lines(std::string text) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] != '\n') {
      line += text[i];
      continue;
    }
    lines.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
    line.clear();
  }
  lines.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string block_bar_log() {
  std::string log = "Encoding sample.flac\n";
  for (int filled = 0; filled <= 20; ++filled) {
    log += "\r[";
    for (int i = 0; i < 20; ++i)
      log += i < filled ? "\xE2\x96\x88" : "\xE2\x96\x91";  // full block, light shade
    log += "] " + std::to_string(filled * 5) + "%";
  }
  log += "\nDone.\n\xC3\xA9t\xC3\xA9\rX\n\xE2\x96\x88\xE2\x96\x88\xE2\x96\x88\rok\n";
  return log;
}

std::string encoder_log() {
  std::string log = "lame -V2 track01.wav\n";
  for (int percent = 0; percent <= 100; percent += 7)
    log += "\r  " + std::to_string(percent) + "% processing.....";
  log += "\n  done\nabc\rX\n100%\r50%\none\r\ntwo\r\n\nkept\r\n\r\r\nshort\rlonger text\rmid\n";
  return log;
}

// Random logs of text, UTF-8 characters, carriage returns and line feeds,
// short enough that no line wraps and the whole log fits on the screen.
std::string random_log(std::mt19937& random) {
  const std::vector<std::string> pieces = {"a",           "b", " ", "xyz", "42%", "\xC3\xA9", "\xE2\x96\x88",
                                           "\xE2\x96\x91"};
  std::string log;
  for (int line = 0; line < 30; ++line) {
    const int segments = static_cast<int>(random() % 5);
    for (int segment = 0; segment < segments; ++segment) {
      if (segment > 0) log += "\r";
      const int count = static_cast<int>(random() % 50);
      for (int i = 0; i < count; ++i) log += pieces[random() % pieces.size()];
    }
    if (random() % 4 == 0) log += "\r";
    log += "\n";
  }
  return log;
}

// Waits until the pane shows the end mark and returns the lines above it.
std::vector<std::string> captured_log(const tmux_server& server, const std::string& session) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::vector<std::string> lines = screen_lines(server.run({"capture-pane", "-p", "-t", session}).out);
    if (!lines.empty() && lines.back() == END_MARK) {
      lines.pop_back();
      while (!lines.empty() && lines.back().empty()) lines.pop_back();
      return lines;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "the pane of " << session << " never showed the end of its log";
  return {};
}

TEST(LogsweepTmux, MatchesWhatTheTerminalShows) {
  const std::string tmux = find_tmux();
  if (tmux.empty()) GTEST_SKIP() << "tmux is not installed: LogsweepTmux.MatchesWhatTheTerminalShows not run";

  temp_dir folder;
  std::mt19937 random(7);
  std::vector<std::string> logs = {encoder_log(), block_bar_log()};
  for (int i = 0; i < 6; ++i) logs.push_back(random_log(random));

  tmux_server server{tmux};
  for (std::size_t i = 0; i < logs.size(); ++i) {
    const std::string path = folder.file("log" + std::to_string(i) + ".txt");
    write_bytes(path, logs[i]);
    // The mark follows the log through the same terminal, so once it shows,
    // the whole log has been drawn.
    const std::string command = "cat '" + path + "'; printf '\\n" + END_MARK + "\\n'; sleep 60";
    const program_run started =
        server.run({"new-session", "-d", "-s", "log" + std::to_string(i), "-x", std::to_string(PANE_WIDTH),
                    "-y", std::to_string(PANE_HEIGHT), command});
    ASSERT_EQ(started.status, 0) << started.err;
  }
  for (std::size_t i = 0; i < logs.size(); ++i) {
    const std::string path = folder.file("log" + std::to_string(i) + ".txt");
    const program_run cleaned = run_program(LOGSWEEP, {path});
    ASSERT_EQ(cleaned.status, 0);
    EXPECT_EQ(screen_lines(cleaned.out), captured_log(server, "log" + std::to_string(i))) << "log " << i;
  }
}

}  // namespace
