// Throughput of logsweep on large synthetic logs of progress redraws,
// measured against `cat log | cat > /dev/null` of the same file (passing the
// log through a pipe) and against a literal byte-at-a-time cleaner (getc and
// putc, one byte per call); logsweep reads the log as a file, and from a pipe
// (`cat log | logsweep /dev/stdin`), where it writes out what it has after
// each read. Then logsweep's peak memory on one very long line, per byte of
// that line.
//
//   logsweep_bench [megabytes [line_mebibytes]]      (defaults 100 and 256)
//
// Every program writes to /dev/null; the programs take turns, each is run
// several times and its best time counts, since the machine is shared and
// noisy. Figures are ratios measured in the same run.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int RUNS = 7;
constexpr int BAR_WIDTH = 40;

// One encoder run per track: a title line, then the progress line redrawn
// every tenth of a percent, then a summary. With `blocks` the bar is drawn in
// UTF-8 block characters (three bytes each), otherwise in ASCII.
std::string track_log(int track, bool blocks) {
  std::string log =
      "Encoding track " + std::to_string(track) + ".wav to track " + std::to_string(track) + ".mp3\n";
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

// Starts a program with its standard input on `input_fd` (if not -1) and its
// standard output on `output_fd`.
pid_t start_program(const std::vector<std::string>& args, int input_fd, int output_fd) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (input_fd >= 0) dup2(input_fd, 0);
    dup2(output_fd, 1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for the program; it must end with status 0. Returns its peak
// resident memory in bytes.
long long finish_program(pid_t pid, const std::string& name) {
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", name.c_str());
    std::exit(1);
  }
  return static_cast<long long>(usage.ru_maxrss) * 1024;
}

// Runs a program with its standard output on `output_path`; returns its
// peak resident memory in bytes.
long long run_program(const std::vector<std::string>& args, const std::string& output_path) {
  const int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const pid_t pid = start_program(args, -1, out);
  close(out);
  return finish_program(pid, args[0]);
}

// cat log | reader > /dev/null, the reader being cat or logsweep /dev/stdin
void run_cat_pipe(const std::string& log_path, const std::vector<std::string>& reader_args = {"cat"}) {
  int ends[2];
  if (pipe(ends) != 0) std::exit(1);
  const pid_t writer = start_program({"cat", log_path}, -1, ends[1]);
  close(ends[1]);  // the reader must see the end of the pipe when the writer ends
  const int null_out = open("/dev/null", O_WRONLY);
  const pid_t reader = start_program(reader_args, ends[0], null_out);
  close(ends[0]);
  close(null_out);
  finish_program(writer, "cat");
  finish_program(reader, reader_args[0]);
}

double seconds_of(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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

  double cat = 1e30;
  double fast = 1e30;
  double piped = 1e30;
  double literal = 1e30;
  for (int run = 0; run < RUNS; ++run) {
    cat = std::min(cat, seconds_of([&] { run_cat_pipe(log_path); }));
    fast = std::min(fast, seconds_of([&] { run_program({logsweep, log_path}, "/dev/null"); }));
    piped = std::min(piped, seconds_of([&] { run_cat_pipe(log_path, {logsweep, "/dev/stdin"}); }));
    if (run < 3)
      literal = std::min(literal, seconds_of([&] { clean_byte_at_a_time(log_path, "/dev/null"); }));
  }

  std::printf("%s: %.0f MB, outputs %s\n", title.c_str(), megabytes, agree ? "agree" : "DIFFER");
  std::printf("  cat | cat         %7.3f s  %7.0f MB/s\n", cat, megabytes / cat);
  std::printf("  logsweep          %7.3f s  %7.0f MB/s\n", fast, megabytes / fast);
  std::printf("  cat | logsweep    %7.3f s  %7.0f MB/s\n", piped, megabytes / piped);
  std::printf("  byte at a time    %7.3f s  %7.0f MB/s\n", literal, megabytes / literal);
  std::printf("  logsweep / cat pipe       %5.2fx time   (target: at most 0.7x)\n", fast / cat);
  std::printf("  piped logsweep / cat pipe %5.2fx time   (target: at most 1.5x)\n", piped / cat);
  std::printf("  byte at a time / logsweep %5.2fx time   (target: at least 5x)\n", literal / fast);
}

// One line of about `bytes` bytes of progress text (ASCII and block
// characters), without a carriage return: all of it stays visible. Returns
// its length.
std::size_t write_long_line(const std::string& path, std::size_t bytes) {
  std::string pattern = "[";
  for (int i = 0; i < 40; ++i) pattern += i < 25 ? "\xE2\x96\x88" : "\xE2\x96\x91";
  pattern += "]  62.5% 11.3x realtime ";
  std::string chunk;
  while (chunk.size() < (1u << 20)) chunk += pattern;
  std::ofstream out(path, std::ios::binary);
  // Whole patterns only, so that the line ends with a whole character.
  const std::size_t whole = bytes - bytes % pattern.size();
  for (std::size_t written = 0; written < whole;) {
    const std::size_t n = std::min(chunk.size(), whole - written);
    out.write(chunk.data(), static_cast<std::streamsize>(n));
    written += n;
  }
  out << '\n';
  return whole;
}

// Whether `output` is `input` followed by the empty last line of an input
// that ends in a line feed; compared a block at a time.
bool is_line_copy(const std::string& input, const std::string& output) {
  std::ifstream in(input, std::ios::binary);
  std::ifstream out(output, std::ios::binary);
  std::vector<char> a(1 << 20);
  std::vector<char> b(1 << 20);
  std::string expected;
  for (;;) {
    in.read(a.data(), static_cast<std::streamsize>(a.size()));
    const auto n = static_cast<std::size_t>(in.gcount());
    if (n == 0) break;
    expected.assign(a.data(), n);
    out.read(b.data(), static_cast<std::streamsize>(expected.size()));
    if (static_cast<std::size_t>(out.gcount()) != expected.size() ||
        std::memcmp(b.data(), expected.data(), expected.size()) != 0) {
      return false;
    }
  }
  out.read(b.data(), 2);
  return out.gcount() == 1 && b[0] == '\n';
}

void measure_memory(std::size_t mebibytes, const std::string& scratch) {
  const std::string line_path = scratch + "/long_line.log";
  const std::size_t bytes = write_long_line(line_path, mebibytes << 20);
  const long long peak = run_program({LOGSWEEP_PATH, line_path}, scratch + "/long_line.txt");
  const bool same = is_line_copy(line_path, scratch + "/long_line.txt");
  std::printf("Longest line %zu MiB: peak memory %.0f MiB, output %s\n", mebibytes,
              static_cast<double>(peak) / (1 << 20), same ? "agrees" : "DIFFERS");
  std::printf("  peak memory per byte of the line %5.2f   (target: at most 1.5)\n",
              static_cast<double>(peak) / static_cast<double>(bytes));
  std::filesystem::remove(line_path);
  std::filesystem::remove(scratch + "/long_line.txt");
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? static_cast<std::size_t>(std::atol(argv[1])) : 100;
  const std::size_t line_mebibytes = argc > 2 ? static_cast<std::size_t>(std::atol(argv[2])) : 256;
  std::string scratch = (std::filesystem::temp_directory_path() / "logsweep-bench-XXXXXX").string();
  if (mkdtemp(scratch.data()) == nullptr) return 1;

  write_log(scratch + "/ascii.log", megabytes, false);
  measure("ASCII progress bars", scratch + "/ascii.log", scratch);
  std::filesystem::remove(scratch + "/ascii.log");

  write_log(scratch + "/blocks.log", megabytes, true);
  measure("UTF-8 block progress bars", scratch + "/blocks.log", scratch);
  std::filesystem::remove(scratch + "/blocks.log");

  measure_memory(line_mebibytes, scratch);

  std::filesystem::remove_all(scratch);
  return 0;
}
