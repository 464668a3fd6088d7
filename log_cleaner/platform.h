// Everything logsweep asks of the operating system, with one interface on
// POSIX systems and on Windows. Paths are UTF-8 on every system; on Windows
// they are converted to UTF-16 for the file functions, so that a path with
// any characters opens.
//
// wavmatch2's platform layer has the same names and the same policies:
// standard streams carry bytes unchanged, a closed descriptor 0, 1 or 2 is
// held by the null device so that no file takes its place, a closed pipe or a
// file-size limit is a failed write that the program reports (SIGPIPE and
// SIGXFSZ ignored), an output being written is emptied and removed after a
// failure or an interrupting signal, a disk file whose identity cannot be
// known may be the input, and the system's reason for a failed call goes to
// standard error. They differ where the jobs differ: wavmatch2 seeks through
// buffered FILE* streams, so it refuses every input and output that is not a
// regular file and never waits to open one; logsweep reads each byte once,
// through descriptors, so it reads pipes, FIFOs and devices as any filter
// does (a FIFO's open waits for a writer, as with cat), and writes to a pipe
// or a device that it is given, refusing only a FIFO that no program reads;
// and a closed pipe on its standard output ends it by SIGPIPE, as it ends cat.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// An open file: a C runtime descriptor on every system.
using file_descriptor = int;
constexpr file_descriptor NO_FILE = -1;
constexpr file_descriptor STANDARD_OUTPUT = 1;
constexpr file_descriptor STANDARD_ERROR = 2;

// The line end of this system's text: CR LF on Windows, as text mode writes
// each line feed there, LF alone everywhere else. A message of the program
// carries its own CR before the line feed; Windows keeps it, as text mode
// always has (CR CR LF, the bytes Windows callers know), while elsewhere the
// pair becomes one LF.
#if defined(_WIN32)
constexpr char LINE_END[] = "\r\n";
constexpr bool MESSAGE_KEEPS_CR = true;
#define MESSAGE_LINE_END "\r\r\n"
#else
constexpr char LINE_END[] = "\n";
constexpr bool MESSAGE_KEEPS_CR = false;
#define MESSAGE_LINE_END "\n"
#endif

// The command-line arguments in UTF-8, the program's name first.
std::vector<std::string> program_arguments(int argc, char** argv);

enum file_kind {
  FILE_MISSING,
  FILE_REGULAR,
  FILE_FOLDER,
  FILE_OTHER,        // a pipe, a FIFO, a device, a console
  FILE_UNIDENTIFIED  // a file on disk that the system would not identify: it may be any file
};

// Which file a handle or a path stands for. Two names of one file (hard and
// symbolic links, "..", /dev/stdout) give the same volume and index.
struct file_identity {
  file_kind kind = FILE_MISSING;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool volume_known = true;  // false: the system gave the index alone
};

file_identity identify(file_descriptor file);
// Follows symbolic links.
file_identity identify(const std::string& path);

// Whether a and b may be one regular file: they are, or one of them is a disk
// file of unknown identity, or of unknown volume and the same index.
bool same_file(const file_identity& a, const file_identity& b);

// A standard stream as the run found it. One that leads to a regular file (or
// to a disk file the system would not identify) waits on the null device, its
// own descriptor parked aside, until the program knows that it leads to no
// input and no output of the run: until then no message, not even
// "Out of memory.", can reach an input through it.
struct standard_stream {
  file_descriptor fd = NO_FILE;
  file_identity identity;
  file_descriptor parked = NO_FILE;
};

// What prepare_console found and changed, for the run and restore_console.
struct console_state {
  bool output_was_closed = false;    // the parent closed standard output: nothing written there is seen
  bool broken_pipe_ignored = false;  // the parent left SIGPIPE ignored
  unsigned saved_code_page = 0;      // Windows: the console's output code page before the run, or 0
  standard_stream output;            // descriptor 1
  standard_stream error;             // descriptor 2
};

// First thing in main, before anything is allocated. Standard output and
// standard error carry bytes unchanged (the program writes its own line ends). A
// closed descriptor 0, 1 or 2 is opened on the null device. A stream that may
// lead to a file is parked. SIGPIPE and SIGXFSZ are ignored. On Windows a
// closed stream is a failed call rather than the end of the program, and a
// console on standard output shows UTF-8 for the run.
console_state prepare_console();
// Gives a parked stream its file back. Names that lead to the stream itself
// (/dev/stdout, /proc/self/fd/1) lead to its file again only then.
void release_stream(standard_stream& stream);
// Parks a stream that leads to a file on the null device again.
void park_stream(standard_stream& stream);
// Last thing in main: puts back the console's code page.
void restore_console(const console_state& console);
// From here on a pipe on standard output whose reader has gone ends the
// program by SIGPIPE, silently, as it ends cat; unless the parent ignored
// SIGPIPE, which then stays ignored.
void end_quietly_on_broken_pipe(const console_state& console);

// Opens any file that can be read, except a folder (EISDIR): a regular file,
// a pipe, a FIFO (waiting for a program to open it for writing), a character
// device. NO_FILE with errno set on failure.
file_descriptor open_input(const std::string& path);

struct output_file {
  file_descriptor file = NO_FILE;
  file_identity identity;
  std::filesystem::path
      removal_path;      // the regular file itself, past symbolic links; empty for a pipe or device
  bool created = false;  // no file had this name before
  // Emptied and removed by a signal or discard_output: a file the run
  // created, or one it has begun to empty. An existing file not yet emptied
  // keeps its bytes.
  std::atomic<bool> removable{false};
};

// Opens the output without truncating it, creating it if need be, so that
// the caller can compare its identity with the input and the standard
// streams before empty_output. `out` is a fresh record, guarded already. The
// name to remove it by is known before the file is made; no ending signal
// comes between making it and marking it removable. Besides a regular file,
// a character device (a terminal, /dev/null) and a pipe that a program is
// reading (/dev/stdout in a pipeline, a shell's process substitution) are
// written to. A FIFO that no program reads is refused at once instead of
// waiting for a reader, and so is any other kind of file, and a symbolic link
// to nothing. False with errno set on failure.
bool open_output(const std::string& path, output_file& out);
// Empties an output opened by open_output in place: hard links, owner and
// permissions of an existing file stay. From here on it is removable.
bool empty_output(output_file& out);
// Closes the output; false (errno set) when the system reports a failed write.
bool close_output(output_file& out);
// Closes the output if it is still open and, when it is removable and a
// regular file that the path still leads to, truncates it to nothing (another
// hard link keeps no partial text) and removes it. A symbolic link on the way
// stays. An output that is not removable keeps its bytes.
void discard_output(output_file& out);

// From guard_output until release_output_guard, every signal whose default
// action ends the program (on Windows Ctrl-C, Ctrl-Break and closing the
// console) first empties and removes `out` if it is removable, then ends the
// program as the signal would have. `out` must stay where it is meanwhile. A
// signal that the parent left ignored stays so.
void guard_output(output_file& out);
void release_output_guard();
// Empties and removes the guarded output at once, for a program that ends
// without unwinding.
void remove_guarded_output();

// Whether a person may be watching what is written to `file`: a terminal,
// or a Windows console.
bool is_terminal(file_descriptor file);

// Bytes read (0 at the end of the file) or written, or -1 with errno set.
long long read_some(file_descriptor file, char* buffer, std::size_t size);
long long write_some(file_descriptor file, const char* bytes, std::size_t size);

// Writes "logsweep: <path>: <the system's reason for error>" as one line to
// `stream` (nothing when it is NO_FILE).
void say_system_error(file_descriptor stream, const std::string& path, int error);
