// logsweep: turns a captured console log into the text a terminal would have
// shown, dropping the progress lines that encoders redraw with a carriage
// return.
//
//   logsweep input_text_path [output_text_path]
//
// Exit status: 0 filtered (or usage shown), 1 input unreadable, 2 output
// unwritable.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "log_filter.h"
#include "text_output.h"

namespace {

constexpr int STATUS_DONE = 0;
constexpr int STATUS_CANNOT_READ = 1;
constexpr int STATUS_CANNOT_WRITE = 2;

void show_usage(text_output& console) {
  put_text(console,
           "Logsweep v1.0\r\n"
           "  Intended to delete progress text in a log file.\r\n"
           "   Delete annoying repeat of 0% processing.....CR\r\n"
           "    https://abchr-tools.example.org/\r\n"
           "Usage: logsweep input_text_path [output_text_path]\r\n");
}

// Messages about the run itself go to standard error when standard output
// carries the cleaned text, so that they never mix with it.
void report_on_stderr(const std::string& message) {
  text_output errors{STDERR_FILENO, {}, false};
  put_text(errors, message);
  flush_text(errors);
}

bool is_same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Cleans to standard output, which then carries nothing else.
int sweep_to_console(int input_fd, const std::string& input_path, text_output& console) {
  switch (filter_log(input_fd, console)) {
    case FILTER_DONE:
      return STATUS_DONE;
    case FILTER_READ_FAILED:
      report_on_stderr("Cannot read " + input_path + "\r\n");
      return STATUS_CANNOT_READ;
    case FILTER_WRITE_FAILED:
      report_on_stderr("Cannot write to standard output\r\n");
      return STATUS_CANNOT_WRITE;
  }
  return STATUS_CANNOT_WRITE;
}

int sweep_to_file(int input_fd, const struct stat& input_info, const std::string& input_path,
                  const std::string& output_path, text_output& console) {
  const std::string cannot_write = "Cannot write to " + output_path + "\r\n";
  // Opening the input itself for writing would truncate it before a byte
  // is read: refuse it, whatever name or link it goes by.
  struct stat output_info {};
  if (stat(output_path.c_str(), &output_info) == 0 && is_same_file(input_info, output_info)) {
    put_text(console, cannot_write);
    return STATUS_CANNOT_WRITE;
  }
  text_output output{open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666), {}, false};
  if (output.fd < 0) {
    put_text(console, cannot_write);
    return STATUS_CANNOT_WRITE;
  }
  const filter_status filtered = filter_log(input_fd, output);
  if (!close_text(output) || filtered == FILTER_WRITE_FAILED) {
    put_text(console, cannot_write);
    return STATUS_CANNOT_WRITE;
  }
  if (filtered == FILTER_READ_FAILED) {
    put_text(console, "Cannot read " + input_path + "\r\n");
    return STATUS_CANNOT_READ;
  }
  return STATUS_DONE;
}

int sweep(int argc, char** argv, text_output& console) {
  const std::string input_path = argv[1];
  const int input_fd = open(input_path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat input_info {};
  // A folder opens, but it is not a log.
  if (input_fd < 0 || fstat(input_fd, &input_info) != 0 || S_ISDIR(input_info.st_mode)) {
    put_text(console, "File '" + input_path + "' not found.\r\n");
    return STATUS_CANNOT_READ;
  }
  if (argc < 3) return sweep_to_console(input_fd, input_path, console);
  return sweep_to_file(input_fd, input_info, input_path, argv[2], console);
}

}  // namespace

int main(int argc, char** argv) {
  // Writing into a pipe whose reader has gone ends the program quietly, as
  // for any console tool, even when the parent left SIGPIPE ignored.
  std::signal(SIGPIPE, SIG_DFL);
  text_output console{STDOUT_FILENO, {}, false};
  int status = STATUS_DONE;
  if (argc < 2) {
    show_usage(console);
  } else {
    status = sweep(argc, argv, console);
  }
  if (!flush_text(console) && status == STATUS_DONE) {
    report_on_stderr("Cannot write to standard output\r\n");
    status = STATUS_CANNOT_WRITE;
  }
  return status;
}
