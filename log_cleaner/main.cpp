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
#include <cstdlib>
#include <exception>
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

constexpr char STANDARD_OUTPUT_NAME[] = "standard output";

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
// at the input itself (logsweep a.log >> a.log) or at the output file; a
// message must never land there, so it goes to the other standard stream
// instead, or nowhere.
struct message_streams {
  file_descriptor messages;  // the run's messages: standard output in file mode
  file_descriptor errors;    // the system's reasons, and every message of a run to standard output
};

message_streams streams_for(const console_state& console, file_descriptor preferred) {
  const auto safe = [&](file_descriptor stream) {
    return (stream == STANDARD_OUTPUT ? console.output : console.error).parked == NO_FILE;
  };
  message_streams streams{preferred, safe(STANDARD_ERROR) ? STANDARD_ERROR : NO_FILE};
  if (!safe(preferred)) streams.messages = streams.errors;
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

int show_usage(console_state& console) {
  release_stream(console.output);
  release_stream(console.error);
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
  const message_streams streams = streams_for(console, STANDARD_ERROR);
  // A closed standard output holds the null device: the cleaned log would be
  // lost without a word.
  if (console.output_was_closed) return cannot_write_console(streams.errors, EBADF);
  // Cleaning a file onto its own end would read the cleaned text back, for
  // ever, and destroy the log. (A standard output still parked leads to the input.)
  if (console.output.parked != NO_FILE) {
    report(streams.errors, output_is_input(input_path));
    return STATUS_CANNOT_WRITE;
  }
  end_quietly_on_broken_pipe(console);
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

// Why the opened output may not be written, or nullptr: it is the input or a
// standard stream, by whatever name or link it was reached.
const char* output_clash(const console_state& console, const output_file& output,
                         const file_identity& input) {
  if (output.created) return nullptr;  // a file made just now is none of them
  if (same_file(output.identity, input)) return "is the input";
  if (same_file(output.identity, console.output.identity)) return "is standard output";
  if (same_file(output.identity, console.error.identity)) return "is standard error";
  return nullptr;
}

int sweep_to_file(const console_state& console, file_descriptor input, const file_identity& input_identity,
                  const std::string& input_path, const std::string& output_path) {
  const message_streams streams = streams_for(console, STANDARD_OUTPUT);
  const std::string cannot_write = "Cannot write to " + output_path + "\r\n";
  // Guarded before the file exists; opened without truncation and emptied only
  // once it is known to be neither the input nor a standard stream, so that a
  // name changed in between never costs the input a byte.
  output_file output;
  guard_output(output);
  if (!open_output(output_path, output)) {
    release_output_guard();
    say_system_error(streams.errors, output_path, errno);
    report(streams.messages, cannot_write);
    return STATUS_CANNOT_WRITE;
  }
  if (const char* clash = output_clash(console, output, input_identity)) {
    discard_output(output);  // not emptied: the file keeps its bytes
    release_output_guard();
    if (same_file(output.identity, input_identity)) {
      report(streams.messages, output_is_input(input_path));
    } else {
      report(streams.errors, "logsweep: " + output_path + ": " + clash + "\r\n");
      report(streams.messages, cannot_write);
    }
    return STATUS_CANNOT_WRITE;
  }
  text_output out{output.file, {}, false, 0, flush_for(input_identity, output.file)};
  int read_error = 0;
  filter_status filtered = FILTER_WRITE_FAILED;
  int write_error = 0;
  try {
    if (empty_output(output)) {
      filtered = filter_log(input, out, read_error);
      write_error = out.error;
    } else {
      write_error = errno;
    }
  } catch (const std::bad_alloc&) {
    discard_output(output);
    release_output_guard();
    throw;
  }
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
                       filtered == FILTER_WRITE_FAILED ? write_error : close_error);
      report(streams.messages, cannot_write);
      return STATUS_CANNOT_WRITE;
  }
}

int sweep(console_state& console, const std::vector<std::string>& arguments) {
  const std::string& input_path = arguments[1];
  // Any file that can be read, as a filter reads it: a regular file, a pipe,
  // a FIFO, a device. Not a folder.
  const file_descriptor input = open_input(input_path);
  const int open_error = errno;
  const bool to_file = arguments.size() >= 3;
  // The streams' own files back, so that a name such as /dev/stdout leads to
  // them; nothing is written until each is judged, and one that leads to the
  // input or the output file waits on the null device again.
  release_stream(console.output);
  release_stream(console.error);
  const file_identity input_identity = input != NO_FILE ? identify(input) : identify(input_path);
  const file_identity output_identity = to_file ? identify(arguments[2]) : file_identity{};
  for (standard_stream* stream : {&console.output, &console.error}) {
    if (same_file(stream->identity, input_identity) || same_file(stream->identity, output_identity)) {
      park_stream(*stream);
    }
  }
  if (input == NO_FILE) {
    const message_streams streams = streams_for(console, STANDARD_OUTPUT);
    say_system_error(streams.errors, input_path, open_error);
    report(streams.messages, "File '" + input_path + "' not found.\r\n");
    return STATUS_CANNOT_READ;
  }
  if (!to_file) return sweep_to_console(console, input, input_identity, input_path);
  // Writing to the input would truncate it before a byte is read, or read the
  // cleaned text back for ever: refused by name here, and by the opened
  // file's identity once it is open.
  if (same_file(output_identity, input_identity)) {
    report(streams_for(console, STANDARD_OUTPUT).messages, output_is_input(input_path));
    return STATUS_CANNOT_WRITE;
  }
  return sweep_to_file(console, input, input_identity, input_path, arguments[2]);
}

int run(console_state& console, int argc, char** argv) {
  try {
    const std::vector<std::string> arguments = program_arguments(argc, argv);
    if (arguments.size() < 2) return show_usage(console);
    return sweep(console, arguments);
  } catch (const std::bad_alloc&) {
    report_out_of_memory(STANDARD_ERROR);
    return STATUS_OUT_OF_MEMORY;
  }
}

// Throwing std::bad_alloc needs a little memory of its own. When even that is
// gone, the C++ runtime ends the program here, with no exception in flight,
// or with a std::bad_alloc that could not be caught: a cleaned log cut short
// is removed, and the run ends as out of memory, never by abort. Any other
// way here is a fault of the program.
[[noreturn]] void end_without_memory() {
  if (const std::exception_ptr failure = std::current_exception()) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
    } catch (...) {
      std::abort();
    }
  }
  remove_guarded_output();
  report_out_of_memory(STANDARD_ERROR);
  std::_Exit(STATUS_OUT_OF_MEMORY);
}

}  // namespace

int main(int argc, char** argv) {
  std::set_terminate(end_without_memory);
  // Before the first allocation: until the standard streams are known to lead
  // to no input, even "Out of memory." cannot reach one.
  console_state console = prepare_console();
  const int status = run(console, argc, argv);
  restore_console(console);
  return status;
}
