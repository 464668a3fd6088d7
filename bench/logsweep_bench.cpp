// Throughput of logsweep on a large synthetic log of progress redraws,
// measured against `cat` of the same file (the cost of just reading it) and
// against a literal byte-at-a-time cleaner (getc/putc, one byte per call).
//
//   logsweep_bench [megabytes]      (default 100)
//
// Every program writes to /dev/null; each is run several times and the best
// time counts, since the machine is shared and noisy. Figures are ratios
// measured in the same run.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int RUNS = 5;
constexpr int BAR_WIDTH = 40;

// One encoder run per track: a title line, then the progress line redrawn
// every tenth of a percent, then a summary. With `blocks` the bar is drawn in
// UTF-8 block characters (three bytes each), otherwise in ASCII.
std::string track_log(int track, bool blocks) {
  std::string log = "Encoding track " + std::to_string(track) + ".wav to track " + std::to_string(track) + ".mp3\n";
  char figures[64];
  for (int permille = 0; permille <= 1000; ++permille) {
    const int filled = permille * BAR_WIDTH / 1000;
    std::snprintf(figures, sizeof figures, "%5.1f%% ", permille / 10.0);
    log += "\r";
    log += figures;
    log += "[";
    for (int i = 0; i < BAR_WIDTH; ++i) {
      if (blocks) {
        log += i < filled ? "\xE2\x96\x88" : "\xE2\x96\x91";
      } else {
        log += i < filled ? '#' : '.';
      }
    }
    std::snprintf(figures, sizeof figures, "] %4.1fx realtime", 10.0 + permille % 37 / 10.0);
    log += figures;
  }
  log += "\nDone: 4.2 MB written.\n";
  return log;
}

void write_log(const std::string& path, std::size_t megabytes, bool blocks) {
  std::ofstream out(path, std::ios::binary);
  std::size_t written = 0;
  for (int track = 1; written < megabytes * 1000 * 1000; ++track) {
    const std::string log = track_log(track, blocks);
    out << log;
    written += log.size();
  }
}

// The literal cleaner: one getc per input byte, one putc per output byte.
void clean_byte_at_a_time(const std::string& input_path, const std::string& output_path) {
  std::FILE* in = std::fopen(input_path.c_str(), "rb");
  std::FILE* out = std::fopen(output_path.c_str(), "wb");
  if (in == nullptr || out == nullptr) std::exit(1);
  std::vector<char> line(4096);
  std::size_t cursor = 0;
  std::size_t line_end = 0;
  const auto emit = [&] {
    for (std::size_t i = 0; i < line_end; ++i) std::putc(line[i], out);
    std::putc('\r', out);
    std::putc('\n', out);
    cursor = line_end = 0;
  };
  for (int c = std::getc(in); c != EOF; c = std::getc(in)) {
    if (c == '\n') {
      emit();
    } else if (c == '\r') {
      cursor = 0;
    } else {
      if (cursor == line.size()) line.resize(2 * line.size());
      line[cursor++] = static_cast<char>(c);
      line_end = std::max(line_end, cursor);
    }
  }
  emit();
  std::fclose(in);
  std::fclose(out);
}

// Runs a program with its standard output on `output_path`.
void run_program(const std::vector<std::string>& args, const std::string& output_path) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", args[0].c_str());
    std::exit(1);
  }
}

double best_seconds(const std::function<void()>& work) {
  double best = 1e30;
  for (int run = 0; run < RUNS; ++run) {
    const auto start = std::chrono::steady_clock::now();
    work();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void measure(const std::string& title, const std::string& log_path, const std::string& scratch) {
  const std::string logsweep = LOGSWEEP_PATH;
  const double megabytes = static_cast<double>(std::filesystem::file_size(log_path)) / 1e6;

  // Same cleaned text from both cleaners, checked once outside the timing.
  run_program({logsweep, log_path}, scratch + "/fast.txt");
  clean_byte_at_a_time(log_path, scratch + "/literal.txt");
  const bool agree = read_bytes(scratch + "/fast.txt") == read_bytes(scratch + "/literal.txt");

  const double cat = best_seconds([&] { run_program({"cat", log_path}, "/dev/null"); });
  const double fast = best_seconds([&] { run_program({logsweep, log_path}, "/dev/null"); });
  const double literal = best_seconds([&] { clean_byte_at_a_time(log_path, "/dev/null"); });

  std::printf("%s: %.0f MB, outputs %s\n", title.c_str(), megabytes, agree ? "agree" : "DIFFER");
  std::printf("  cat               %7.3f s  %7.0f MB/s\n", cat, megabytes / cat);
  std::printf("  logsweep          %7.3f s  %7.0f MB/s\n", fast, megabytes / fast);
  std::printf("  byte at a time    %7.3f s  %7.0f MB/s\n", literal, megabytes / literal);
  std::printf("  logsweep / cat            %5.2fx time   (target: at most 3x)\n", fast / cat);
  std::printf("  byte at a time / logsweep %5.2fx time   (target: at least 5x)\n", literal / fast);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? static_cast<std::size_t>(std::atol(argv[1])) : 100;
  std::string scratch = (std::filesystem::temp_directory_path() / "logsweep-bench-XXXXXX").string();
  if (mkdtemp(scratch.data()) == nullptr) return 1;

  write_log(scratch + "/ascii.log", megabytes, false);
  measure("ASCII progress bars", scratch + "/ascii.log", scratch);
  std::filesystem::remove(scratch + "/ascii.log");

  write_log(scratch + "/blocks.log", megabytes, true);
  measure("UTF-8 block progress bars", scratch + "/blocks.log", scratch);

  std::filesystem::remove_all(scratch);
  return 0;
}
