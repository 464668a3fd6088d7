// What abchr-prepare needs of the operating system beyond the standard
// library, behind one interface: finding a program on PATH, running decoders
// as child processes with an argument vector and no shell, and the guard that
// stops them and removes the run's temporary files when a signal ends the run
// (on Windows: Ctrl-C, Ctrl-Break, closing the console). Paths are UTF-8; on
// Windows they become UTF-16 here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The full path of `name` (on Windows `name.exe`) in a folder of PATH, or ""
// when no folder holds it.
std::string find_on_path(const std::string& name);

// A child process that has been started and not yet waited for.
struct child_process {
  intptr_t handle = 0;  // POSIX: the process id; Windows: the process handle
  bool running = false;
};

// How a child ended: its exit status, or the signal that ended it.
struct child_exit {
  int code = 0;
  int signal = 0;  // POSIX only; 0 when it exited
};

// Starts `program` (a full path) with argv[0] = program and then `args`.
// Standard input reads the null device; standard output goes to out_path and
// standard error to err_path (each created or emptied). Returns false with the
// system's reason in `error`.
bool start_child(const std::string& program, const std::vector<std::string>& args,
                 const std::string& out_path, const std::string& err_path, child_process& child, int& error);

// Waits until one of the running children ends; returns its index and how it
// ended, and marks it as no longer running. Returns -1 when none runs.
int wait_any_child(std::vector<child_process>& children, child_exit& exit);

// Ends a running child at once and waits for it.
void stop_child(child_process& child);

// What a signal must undo: the running children, the files and the folders the
// run has made. The guard reads it from the signal handler, so entries are
// added through the functions below, which hold the signals back meanwhile.
struct run_guard {
  std::vector<std::string> files;
  std::vector<std::string> folders;  // removed after the files, last first
  std::vector<child_process>* children = nullptr;
};

// From here until release_run_guard, INT TERM HUP QUIT USR1 USR2 ALRM XCPU
// VTALRM PROF (every one held back while the handler runs) kill the children,
// remove the guarded files and folders and end the program by that signal.
void install_run_guard(run_guard& guard);
void release_run_guard();
void guard_file(run_guard& guard, const std::string& path);
void guard_folder(run_guard& guard, const std::string& path);
// Holds the guarded signals back, e.g. while a child is started or the result
// is put in place; the second call lets them through again.
void hold_signals();
void release_signals();

// The system's reason for an error number, as text.
std::string system_reason(int error);

// How to get a missing decoder: the Debian package, or on Windows where to
// download it.
std::string install_hint(const std::string& program);

// The number of processors, at least 1.
int processor_count();

// A lock held by the system on the file `path` (made when missing), for one
// process at a time: with `wait`, until the holder lets go; without, false and
// `error` EWOULDBLOCK when another holds it. The lock ends with unlock_file or
// with the process, however it ends. Returns false with the system's reason
// in `error`.
bool lock_file(const std::string& path, bool wait, intptr_t& handle, int& error);
void unlock_file(intptr_t handle);
// While a change must complete whole: the guarded signals held back as by
// hold_signals, and on Windows Ctrl-C ignored (a console keeps no pending
// event to deliver afterwards, so the change completes and the run goes on).
void hold_interrupts();
void release_interrupts();
