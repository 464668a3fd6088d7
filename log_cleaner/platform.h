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
// or a device that it is given, refusing only a FIFO that no program reads.
#pragma once

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

// What prepare_console found and changed, for restore_console.
struct console_state {
  bool output_was_closed = false;  // the parent closed standard output: nothing written there is seen
  unsigned saved_code_page = 0;    // Windows: the console's output code page before the run, or 0
};

// First thing in main. Standard output and standard error carry bytes
// unchanged (the program writes its own line ends). A closed descriptor 0, 1 or 2
// is opened on the null device. SIGPIPE and SIGXFSZ are ignored. On Windows a
// closed stream is a failed call rather than the end of the program, and a
// console on standard output shows UTF-8 for the run.
console_state prepare_console();
// Last thing in main: puts back the console's code page.
void restore_console(const console_state& console);

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

// Opens any file that can be read, except a folder (EISDIR): a regular file,
// a pipe, a FIFO (waiting for a program to open it for writing), a character
// device. NO_FILE with errno set on failure.
file_descriptor open_input(const std::string& path);

struct output_file {
  file_descriptor file = NO_FILE;
  file_identity identity;
  std::filesystem::path
      removal_path;  // the regular file itself, past symbolic links; empty for a pipe or device
};

// Creates the file, or truncates it in place: hard links, owner and
// permissions of an existing file stay. Besides a regular file, a character
// device (a terminal, /dev/null) and a pipe that a program is reading
// (/dev/stdout in a pipeline, a shell's process substitution) are written
// to. A FIFO that no program reads is refused at once instead of waiting for
// a reader, and so is any other kind of file. False with errno set on failure.
bool open_output(const std::string& path, output_file& out);
// Closes the output; false (errno set) when the system reports a failed write.
bool close_output(output_file& out);
// Closes the output if it is still open and, when it is a regular file that
// the path still leads to, truncates it to nothing (another hard link keeps no
// partial text) and removes it. A symbolic link on the way stays.
void discard_output(output_file& out);

// From guard_output until release_output_guard, SIGINT, SIGTERM and SIGHUP
// (on Windows Ctrl-C, Ctrl-Break and closing the console) first empty and
// remove `out`, then end the program as the signal would have. `out` must
// stay where it is meanwhile. A signal that the parent left ignored stays so.
void guard_output(const output_file& out);
void release_output_guard();

// Whether a person may be watching what is written to `file`: a terminal,
// or a Windows console.
bool is_terminal(file_descriptor file);

// Bytes read (0 at the end of the file) or written, or -1 with errno set.
long long read_some(file_descriptor file, char* buffer, std::size_t size);
long long write_some(file_descriptor file, const char* bytes, std::size_t size);

// Writes "logsweep: <path>: <the system's reason for error>" as one line to
// `stream` (nothing when it is NO_FILE).
void say_system_error(file_descriptor stream, const std::string& path, int error);
