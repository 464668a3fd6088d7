// What differs between the systems wavmatch2 runs on, behind one interface:
// the command line's character set, the console's byte stream, opening files
// without ever blocking, telling two names of one file apart, 64-bit file
// positions and removing an output that could not be written. The rest of the
// program uses the standard library alone and never asks which system it is on.
//
// Paths are UTF-8 throughout the program; on Windows they become UTF-16 only
// here, at the system's door, so that names with accents work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// The command line as UTF-8 text, the program's name first.
std::vector<std::string> program_arguments(int argc, char** argv);

// Makes standard output and standard error carry the program's bytes as they
// are (the console layer writes its own CR LF; Windows would add a second CR),
// and makes a closed pipe on standard output a failed write that the program
// reports, instead of a signal that ends it before the raw files are written.
void prepare_console();

// One file, whatever name it was reached by: device and inode, or on Windows
// the volume serial number and file index (Windows has no inode numbers).
struct file_identity {
  uint64_t volume;
  uint64_t index;
  bool operator==(const file_identity&) const = default;
};

bool identity_of(FILE* fp, file_identity& id);

// Opens an existing regular file for binary reading. A FIFO, socket, device or
// folder is refused (nullptr) without blocking, whether or not another program
// holds its other end, and so is a file whose position cannot be set. Throws
// std::bad_alloc when the system has no memory left to open it.
FILE* open_input(const std::string& path);

// 64-bit positions. origin is SEEK_SET, SEEK_CUR or SEEK_END; file_tell gives
// -1 on failure.
bool file_seek(FILE* fp, int64_t offset, int origin);
int64_t file_tell(FILE* fp);

struct output_file {
  FILE* fp = nullptr;
  file_identity identity = {};
  std::filesystem::path removal_path;  // the file itself: a symbolic link's target, not the link
  bool created = false;                // no file had this name before
};

// Opens a raw output for binary writing without blocking, creating it if need
// be but leaving an existing file's bytes alone until empty_output: the caller
// first makes sure it is not one of the inputs. An existing path that is not a
// regular file (FIFO, socket, device, folder) is refused with false. Throws
// std::bad_alloc when memory runs out, after removing a file it created.
bool open_output(const std::string& path, output_file& out);

// Truncates an output opened by open_output to nothing.
bool empty_output(output_file& out);

// Closes the output if it is still open and removes the file, following a
// symbolic link to the file it names; the link itself stays.
void discard_output(output_file& out);

// A block for the run's working memory (run_memory.h), in 2 MiB pages where
// the system offers them: a buffer touched for the first time costs one page
// fault per page, and with 4 KiB pages those faults are most of the fixed cost
// of a short run. The block starts at a multiple of LARGE_ALIGNMENT bytes; its
// memory is not cleared. Returns nullptr when there is no memory left.
constexpr std::size_t LARGE_ALIGNMENT = 64;
void* allocate_large(std::size_t bytes);
// Gives back a block from allocate_large with the size it was asked for.
void free_large(void* block, std::size_t bytes);
