// What differs between the systems wavmatch2 runs on, behind one interface:
// the command line's character set, the console's byte stream, opening files
// without ever blocking, telling two names of one file apart, 64-bit file
// positions, signals, and removing an output that could not be written. The
// rest of the program uses the standard library alone and never asks which
// system it is on.
//
// Paths are UTF-8 throughout the program; on Windows they become UTF-16 only
// here, at the system's door, so that names with accents work.
//
// logsweep's platform layer has the same names and the same policies: closed
// standard streams reserved on the null device, SIGPIPE and SIGXFSZ ignored
// (a closed pipe or a file-size limit is a failed write that the program
// reports), identities that need no access rights and a disk file of unknown
// identity taken as possibly the input, a failed output emptied before it is
// removed, and an output removed when SIGINT, SIGTERM or SIGHUP ends the run.
// They differ where the programs do: this one works on FILE* because it seeks
// in its inputs through buffered streams, and refuses every input and output
// that is not a regular file, since it must seek in the one and could never
// take back what it wrote to the other; logsweep streams bytes once through
// descriptors and reads pipes like any filter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// The command line as UTF-8 text, the program's name first.
std::vector<std::string> program_arguments(int argc, char** argv);

// What prepare_console found, for the end of the run.
struct console_state {
  bool output_closed = false;  // standard output was closed: the report cannot reach anyone
  unsigned code_page = 0;      // Windows: the console's output code page before the run, or 0
};

// Called first in main. Standard output and standard error carry the
// program's bytes as they are (the console layer writes its own CR LF;
// Windows would add a second CR). A closed descriptor 0, 1 or 2 is opened on
// the null device, so that no input or raw file can take its number. A closed
// pipe or a file-size limit becomes a failed write that the program reports
// instead of a signal that ends it. SIGINT, SIGTERM and SIGHUP (on Windows
// Ctrl-C, Ctrl-Break and closing the console) remove a guarded output first.
// On Windows a bad descriptor is a failed call, not the end of the program,
// and a console shows the UTF-8 names as they are.
console_state prepare_console();
// Gives the console back its code page.
void restore_console(const console_state& state);

// One file, whatever name it was reached by: device and inode, or on Windows
// the volume serial number and file index (Windows has no inode numbers).
// Where Windows cannot tell the volume of an open handle (wine's own
// redirections), the index alone decides, so that a file is never taken for
// another it might be.
struct file_identity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool volume_known = true;
};

bool same_file(const file_identity& a, const file_identity& b);

// What a stream or a path stands for. `unknown`: a file on disk whose identity
// the system would not give, which must be taken as possibly any input; errno
// then holds the reason, or 0.
enum class file_kind { missing, regular, folder, other, unknown };

file_kind identify(FILE* fp, file_identity& id);
// Follows symbolic links. A path too long for the system, or one that cannot
// be looked up, is `unknown` with the system's reason in errno.
file_kind identify(const std::string& path, file_identity& id);
// Two paths, existing or not, that would open one file.
bool same_path(const std::string& a, const std::string& b);

// Opens an existing regular file for binary reading. A FIFO, socket, device or
// folder is refused (nullptr) without blocking, whether or not another program
// holds its other end, and so is a file whose position cannot be set; errno
// then holds the system's reason (EISDIR for a folder), or 0. Throws
// std::bad_alloc when the system has no memory left to open it.
FILE* open_input(const std::string& path);

// 64-bit positions. origin is SEEK_SET, SEEK_CUR or SEEK_END; file_tell gives
// -1 on failure.
bool file_seek(FILE* fp, int64_t offset, int origin);
int64_t file_tell(FILE* fp);

struct output_file {
  FILE* fp = nullptr;
  int held = -1;  // a second descriptor, to empty the file whatever state fp is in
  file_identity identity = {};
  std::filesystem::path removal_path;  // the file itself: a symbolic link's target, not the link
  bool created = false;                // no file had this name before
  int signals_held = 0;                // POSIX: the signals open_output holds back until guard_output
};

// Opens a raw output for binary writing without blocking, creating it if need
// be but leaving an existing file's bytes alone until empty_output: the caller
// first makes sure it is not one of the inputs. An existing path that is not a
// regular file (FIFO, socket, device, folder) is refused with false, and so is
// one whose identity cannot be known; errno then holds the system's reason,
// or 0. Throws std::bad_alloc when memory runs out, after removing a file it
// created. From creation on, SIGINT, SIGTERM and SIGHUP wait for guard_output.
bool open_output(const std::string& path, output_file& out);

// Truncates an output opened by open_output to nothing.
bool empty_output(output_file& out);

// Flushes and closes a complete output; false when its last bytes could not
// be written (errno holds why). The file stays either way.
bool close_output(output_file& out);

// Empties the output, closes it and removes the file, following a symbolic
// link to the file it names; the link itself stays. Emptied first, so that no
// other hard link of the file keeps the partial data.
void discard_output(output_file& out);

// From guard_output to release_output_guard, SIGINT, SIGTERM or SIGHUP (on
// Windows Ctrl-C, Ctrl-Break or closing the console) empties and removes the
// output, then ends the program as the signal itself would have, so that the
// caller still sees it: a half-written stimulus under its real name would
// pass for a whole one.
void guard_output(const output_file& out);
void release_output_guard();

// A block for the run's working memory (run_memory.h), in 2 MiB pages where
// the system offers them: a buffer touched for the first time costs one page
// fault per page, and with 4 KiB pages those faults are most of the fixed cost
// of a short run. The block starts at a multiple of LARGE_ALIGNMENT bytes; its
// memory is not cleared. Returns nullptr when there is no memory left.
constexpr std::size_t LARGE_ALIGNMENT = 64;
void* allocate_large(std::size_t bytes);
// Gives back a block from allocate_large with the size it was asked for.
void free_large(void* block, std::size_t bytes);
