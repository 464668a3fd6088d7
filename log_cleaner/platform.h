// Everything logsweep asks of the operating system, with one interface on
// POSIX systems and on Windows. Paths are UTF-8 on every system; on Windows
// they are converted to UTF-16 for the file functions, so that a path with
// any characters opens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An open file: a C runtime descriptor on every system.
using file_descriptor = int;
constexpr file_descriptor NO_FILE = -1;
constexpr file_descriptor STANDARD_OUTPUT = 1;
constexpr file_descriptor STANDARD_ERROR = 2;

enum file_kind { FILE_MISSING, FILE_REGULAR, FILE_FOLDER, FILE_OTHER };

// Which file a handle or a path stands for. Two names of one file (hard and
// symbolic links, "..", /dev/stdout) give the same volume and index.
struct file_identity {
  file_kind kind = FILE_MISSING;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

// Both name the same existing regular file.
bool same_regular_file(const file_identity& a, const file_identity& b);

// Standard output and standard error carry bytes unchanged (the program
// writes its own CR LF), and a closed pipe ends the program as it does any
// console tool.
void prepare_console();

// The command-line arguments in UTF-8, the program's name first.
std::vector<std::string> program_arguments(int argc, char** argv);

// Opens a regular file for reading. Anything else (a folder, a FIFO, a socket,
// a device) is refused with NO_FILE, without waiting for another program to
// open its other end.
file_descriptor open_for_reading(const std::string& path);
// Creates the file, or truncates it in place: hard links, owner and
// permissions of an existing file stay. Besides a regular file, a character
// device (a terminal, /dev/null) and a pipe that a program is reading
// (/dev/stdout in a pipeline, a shell's process substitution) are written
// to. A FIFO that no program reads is refused at once instead of waiting for
// a reader, and so is any other kind of file.
file_descriptor open_for_writing(const std::string& path);
// Bytes read (0 at the end of the file) or written, or -1 after an error.
long long read_some(file_descriptor file, char* buffer, std::size_t size);
long long write_some(file_descriptor file, const char* bytes, std::size_t size);
bool close_file(file_descriptor file);

file_identity identify(file_descriptor file);
// Follows symbolic links.
file_identity identify(const std::string& path);

// Removes the file that `path` leads to (through any symbolic links, which
// stay), provided it is still the regular file `written`.
bool remove_written_file(const std::string& path, const file_identity& written);
