// logsweep: turns a captured console log into the text a terminal would have
// shown, dropping the progress lines that encoders redraw with a carriage
// return.
//
//   logsweep input_text_path [output_text_path]
//
// Exit status: 0 filtered (or usage shown), 1 input unreadable, 2 output
// unwritable or the input itself, 3 out of memory. An output file is removed
// after any failure: a cut-off log must not pass for a cleaned one.
#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "log_filter.h"
#include "platform.h"
#include "text_output.h"

namespace {

constexpr int STATUS_DONE = 0;
constexpr int STATUS_CANNOT_READ = 1;
constexpr int STATUS_CANNOT_WRITE = 2;
constexpr int STATUS_OUT_OF_MEMORY = 3;

// Already with its line end: it must go out without taking memory.
constexpr char OUT_OF_MEMORY[] = "Out of memory." MESSAGE_LINE_END;

const std::string STANDARD_OUTPUT_NAME = "standard output";

void report(file_descriptor stream, const std::string& message) {
  if (stream == NO_FILE) return;
  text_output out{stream, {}, false};
  put_message(out, message);
  flush_text(out);
}

void report_out_of_memory(file_descriptor stream) {
  if (stream != NO_FILE) write_some(stream, OUT_OF_MEMORY, sizeof OUT_OF_MEMORY - 1);
}

// Where the messages about a run go. A standard stream may have been pointed
// at the input itself (logsweep a.log >> a.log); a message must never land
// there, so it goes to the other standard stream instead, or nowhere.
struct message_streams {
  file_descriptor messages;  // the run's messages: standard output in file mode
  file_descriptor errors;    // the system's reasons, and every message of a run to standard output
};

message_streams streams_for(const file_identity& input, file_descriptor preferred) {
  const bool error_is_input = same_file(identify(STANDARD_ERROR), input);
  message_streams streams{preferred, error_is_input ? NO_FILE : STANDARD_ERROR};
  if (same_file(identify(preferred), input)) streams.messages = streams.errors;
  return streams;
}

std::string output_is_input(const std::string& input_path) {
  return "Output is the input file '" + input_path + "'.\r\n";
}

// Lines go out as soon as they are whole when someone may be waiting for
// them: a person at a terminal, or the reader of a pipe from an encoder that
// is still running. A log on disk is cleaned in large blocks.
text_flush flush_for(const file_identity& input, file_descriptor output) {
  if (is_terminal(output)) return FLUSH_BY_LINE;
  return input.kind == FILE_OTHER ? FLUSH_BY_READ : FLUSH_BY_BLOCK;
}

int cannot_write_console(file_descriptor errors, int error) {
  say_system_error(errors, STANDARD_OUTPUT_NAME, error);
  report(errors, "Cannot write to standard output\r\n");
  return STATUS_CANNOT_WRITE;
}

int show_usage(const console_state& console) {
  if (console.output_was_closed) return cannot_write_console(STANDARD_ERROR, EBADF);
  text_output out{STANDARD_OUTPUT, {}, false};
  put_message(out,
              "Logsweep v1.0\r\n"
              "  Intended to delete progress text in a log file.\r\n"
              "   Delete annoying repeat of 0% processing.....CR\r\n"
              "    https://abchr-tools.example.org/\r\n"
              "Usage: logsweep input_text_path [output_text_path]\r\n");
  if (flush_text(out)) return STATUS_DONE;
  return cannot_write_console(STANDARD_ERROR, out.error);
}

// Cleans to standard output, which then carries nothing else: messages go
// to standard error.
int sweep_to_console(const console_state& console, file_descriptor input, const file_identity& input_identity,
                     const std::string& input_path) {
  const message_streams streams = streams_for(input_identity, STANDARD_ERROR);
  // A closed standard output holds the null device: the cleaned log would be
  // lost without a word.
  if (console.output_was_closed) return cannot_write_console(streams.errors, EBADF);
  // Cleaning a file onto its own end would read the cleaned text back, for
  // ever, and destroy the log.
  if (same_file(identify(STANDARD_OUTPUT), input_identity)) {
    report(streams.errors, output_is_input(input_path));
    return STATUS_CANNOT_WRITE;
  }
  text_output out{STANDARD_OUTPUT, {}, false, 0, flush_for(input_identity, STANDARD_OUTPUT)};
  int read_error = 0;
  switch (filter_log(input, out, read_error)) {
    case FILTER_DONE:
      return STATUS_DONE;
    case FILTER_READ_FAILED:
      say_system_error(streams.errors, input_path, read_error);
      report(streams.errors, "Cannot read " + input_path + "\r\n");
      return STATUS_CANNOT_READ;
    case FILTER_WRITE_FAILED:
      return cannot_write_console(streams.errors, out.error);
    case FILTER_OUT_OF_MEMORY:
      // What was cleaned so far has gone out already; it cannot be taken back.
      report_out_of_memory(streams.errors);
      return STATUS_OUT_OF_MEMORY;
  }
  return STATUS_CANNOT_WRITE;
}

int sweep_to_file(file_descriptor input, const file_identity& input_identity, const std::string& input_path,
                  const std::string& output_path) {
  const message_streams streams = streams_for(input_identity, STANDARD_OUTPUT);
  const std::string cannot_write = "Cannot write to " + output_path + "\r\n";
  // Opening the input itself for writing would truncate it before a byte
  // is read: refuse it, whatever name or link it goes by.
  if (same_file(identify(output_path), input_identity)) {
    report(streams.messages, output_is_input(input_path));
    return STATUS_CANNOT_WRITE;
  }
  output_file output;
  if (!open_output(output_path, output)) {
    say_system_error(streams.errors, output_path, errno);
    report(streams.messages, cannot_write);
    return STATUS_CANNOT_WRITE;
  }
  guard_output(output);
  text_output out{output.file, {}, false, 0, flush_for(input_identity, output.file)};
  int read_error = 0;
  const filter_status filtered = filter_log(input, out, read_error);
  if (filtered == FILTER_DONE && close_output(output)) {
    release_output_guard();
    return STATUS_DONE;
  }
  const int close_error = errno;
  // A cut-off log must not pass for a cleaned one.
  discard_output(output);
  release_output_guard();
  switch (filtered) {
    case FILTER_OUT_OF_MEMORY:
      report_out_of_memory(streams.errors);
      return STATUS_OUT_OF_MEMORY;
    case FILTER_READ_FAILED:
      say_system_error(streams.errors, input_path, read_error);
      report(streams.messages, "Cannot read " + input_path + "\r\n");
      return STATUS_CANNOT_READ;
    default:
      say_system_error(streams.errors, output_path,
                       filtered == FILTER_WRITE_FAILED ? out.error : close_error);
      report(streams.messages, cannot_write);
      return STATUS_CANNOT_WRITE;
  }
}

int sweep(const console_state& console, const std::vector<std::string>& arguments) {
  const std::string& input_path = arguments[1];
  // Any file that can be read, as a filter reads it: a regular file, a pipe,
  // a FIFO, a device. Not a folder.
  const file_descriptor input = open_input(input_path);
  if (input == NO_FILE) {
    const int error = errno;
    const bool error_is_input = same_file(identify(STANDARD_ERROR), identify(input_path));
    say_system_error(error_is_input ? NO_FILE : STANDARD_ERROR, input_path, error);
    report(STANDARD_OUTPUT, "File '" + input_path + "' not found.\r\n");
    return STATUS_CANNOT_READ;
  }
  const file_identity input_identity = identify(input);
  if (arguments.size() < 3) return sweep_to_console(console, input, input_identity, input_path);
  return sweep_to_file(input, input_identity, input_path, arguments[2]);
}

int run(const console_state& console, int argc, char** argv) {
  try {
    const std::vector<std::string> arguments = program_arguments(argc, argv);
    if (arguments.size() < 2) return show_usage(console);
    return sweep(console, arguments);
  } catch (const std::bad_alloc&) {
    report_out_of_memory(STANDARD_ERROR);
    return STATUS_OUT_OF_MEMORY;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const console_state console = prepare_console();
  const int status = run(console, argc, argv);
  restore_console(console);
  return status;
}
