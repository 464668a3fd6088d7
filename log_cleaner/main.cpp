// logsweep: turns a captured console log into the text a terminal would have
// shown, dropping the progress lines that encoders redraw with a carriage
// return.
//
//   logsweep input_text_path [output_text_path]
//
// Exit status: 0 filtered (or usage shown), 1 input unreadable, 2 output
// unwritable or the input itself, 3 out of memory.
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

// Already as text mode writes it: it must go out without taking memory.
constexpr char OUT_OF_MEMORY[] = "Out of memory.\r\r\n";

void report(file_descriptor stream, const std::string& message) {
  if (stream == NO_FILE) return;
  text_output out{stream, {}, false};
  put_text(out, message);
  flush_text(out);
}

// Where a message about the run may go. A standard stream may have been
// pointed at the input itself (logsweep a.log >> a.log); a message must never
// land there, so it goes to standard error instead, or nowhere.
file_descriptor message_stream(file_descriptor preferred, const file_identity& input) {
  if (!same_regular_file(identify(preferred), input)) return preferred;
  if (preferred == STANDARD_OUTPUT && !same_regular_file(identify(STANDARD_ERROR), input))
    return STANDARD_ERROR;
  return NO_FILE;
}

void report_out_of_memory(file_descriptor stream) {
  if (stream != NO_FILE) write_some(stream, OUT_OF_MEMORY, sizeof OUT_OF_MEMORY - 1);
}

std::string output_is_input(const std::string& input_path) {
  return "Output is the input file '" + input_path + "'.\r\n";
}

int show_usage() {
  text_output console{STANDARD_OUTPUT, {}, false};
  put_text(console,
           "Logsweep v1.0\r\n"
           "  Intended to delete progress text in a log file.\r\n"
           "   Delete annoying repeat of 0% processing.....CR\r\n"
           "    https://abchr-tools.example.org/\r\n"
           "Usage: logsweep input_text_path [output_text_path]\r\n");
  if (flush_text(console)) return STATUS_DONE;
  report(STANDARD_ERROR, "Cannot write to standard output\r\n");
  return STATUS_CANNOT_WRITE;
}

// Cleans to standard output, which then carries nothing else: messages go
// to standard error.
int sweep_to_console(file_descriptor input, const file_identity& input_identity,
                     const std::string& input_path) {
  const file_descriptor messages = message_stream(STANDARD_ERROR, input_identity);
  // Cleaning a file onto its own end would read the cleaned text back, for
  // ever, and destroy the log.
  if (same_regular_file(identify(STANDARD_OUTPUT), input_identity)) {
    report(messages, output_is_input(input_path));
    return STATUS_CANNOT_WRITE;
  }
  text_output console{STANDARD_OUTPUT, {}, false};
  switch (filter_log(input, console)) {
    case FILTER_DONE:
      return STATUS_DONE;
    case FILTER_READ_FAILED:
      report(messages, "Cannot read " + input_path + "\r\n");
      return STATUS_CANNOT_READ;
    case FILTER_WRITE_FAILED:
      report(messages, "Cannot write to standard output\r\n");
      return STATUS_CANNOT_WRITE;
    case FILTER_OUT_OF_MEMORY:
      report_out_of_memory(messages);
      return STATUS_OUT_OF_MEMORY;
  }
  return STATUS_CANNOT_WRITE;
}

int sweep_to_file(file_descriptor input, const file_identity& input_identity, const std::string& input_path,
                  const std::string& output_path) {
  const file_descriptor messages = message_stream(STANDARD_OUTPUT, input_identity);
  const std::string cannot_write = "Cannot write to " + output_path + "\r\n";
  // Opening the input itself for writing would truncate it before a byte
  // is read: refuse it, whatever name or link it goes by.
  if (same_regular_file(identify(output_path), input_identity)) {
    report(messages, output_is_input(input_path));
    return STATUS_CANNOT_WRITE;
  }
  text_output output{open_for_writing(output_path), {}, false};
  if (output.file == NO_FILE) {
    report(messages, cannot_write);
    return STATUS_CANNOT_WRITE;
  }
  const file_identity written = identify(output.file);
  const filter_status filtered = filter_log(input, output);
  const bool closed = close_text(output);
  if (filtered == FILTER_OUT_OF_MEMORY) {
    // The lines cleaned so far stay in the output.
    report_out_of_memory(message_stream(STANDARD_ERROR, input_identity));
    return STATUS_OUT_OF_MEMORY;
  }
  if (filtered == FILTER_WRITE_FAILED || !closed) {
    // A cut-off log must not pass for a cleaned one.
    remove_written_file(output_path, written);
    report(messages, cannot_write);
    return STATUS_CANNOT_WRITE;
  }
  if (filtered == FILTER_READ_FAILED) {
    report(messages, "Cannot read " + input_path + "\r\n");
    return STATUS_CANNOT_READ;
  }
  return STATUS_DONE;
}

int sweep(const std::vector<std::string>& arguments) {
  const std::string& input_path = arguments[1];
  // Only a regular file is a log: a folder, a FIFO or a device is refused.
  const file_descriptor input = open_for_reading(input_path);
  if (input == NO_FILE) {
    report(STANDARD_OUTPUT, "File '" + input_path + "' not found.\r\n");
    return STATUS_CANNOT_READ;
  }
  const file_identity input_identity = identify(input);
  if (arguments.size() < 3) return sweep_to_console(input, input_identity, input_path);
  return sweep_to_file(input, input_identity, input_path, arguments[2]);
}

}  // namespace

int main(int argc, char** argv) {
  prepare_console();
  try {
    const std::vector<std::string> arguments = program_arguments(argc, argv);
    if (arguments.size() < 2) return show_usage();
    return sweep(arguments);
  } catch (const std::bad_alloc&) {
    report_out_of_memory(STANDARD_ERROR);
    return STATUS_OUT_OF_MEMORY;
  }
}
