// What abchr-prepare needs of the operating system beyond the standard
// library, behind one interface: finding a program on PATH, running decoders
// as child processes with an argument vector and no shell, the signals that
// end a run, recorded for the main flow to act on (on Windows: Ctrl-C,
// Ctrl-Break, closing the console), and a lock held by the system. Paths are
// UTF-8; on
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
  intptr_t job = 0;     // Windows: the job object that ends it with this program
  bool running = false;
  double seconds_allowed = 0;  // 0: no limit; past it the child is killed
  double started = 0;          // monotonic_seconds() when it started
};

// How a child ended: its exit status, or the signal that ended it.
struct child_exit {
  int code = 0;
  int signal = 0;          // POSIX only; 0 when it exited
  bool timed_out = false;  // killed for running longer than it was allowed
};

// Seconds on a clock that only moves forward.
double monotonic_seconds();

// Starts `program` (a full path) with argv[0] = program and then `args`.
// Standard input reads the null device; standard output goes to out_path and
// standard error to err_path (each created or emptied). The child starts with
// the default action for every signal and none held back, and it ends when
// this program ends, however that happens (Linux: a parent-death signal;
// Windows: a job object). Returns false with the system's reason in `error`.
bool start_child(const std::string& program, const std::vector<std::string>& args,
                 const std::string& out_path, const std::string& err_path, child_process& child, int& error);

// wait_any_child's answer when a signal that ends the run came first.
constexpr int WAIT_INTERRUPTED = -2;

// Waits until one of the running children ends, or its time runs out (it is
// then killed and exit.timed_out set), and returns its index and how it
// ended. Each child is waited for by its own id, never by "any child".
// Returns -1 when none runs, WAIT_INTERRUPTED when a signal is pending.
int wait_any_child(std::vector<child_process>& children, child_exit& exit);

// Ends a running child at once and waits for it.
void stop_child(child_process& child);

// What a run must undo when a signal ends it: the running children, the files
// and the folders the run has made. Only the main flow reads it.
struct run_guard {
  std::vector<std::string> files;
  std::vector<std::string> folders;  // removed after the files, last first
  std::vector<child_process>* children = nullptr;
};

// The signals that end a run: INT TERM HUP QUIT USR1 USR2 ALRM XCPU VTALRM
// PROF (on Windows Ctrl-C, Ctrl-Break and closing the console). From
// watch_signals on, their handlers only record which came; the run asks
// pending_signal() wherever it can stop (between steps, and while children
// run, in the wait), undoes its work there with undo_run and ends by the
// signal with end_by_signal, as a shell expects. A change that must complete
// whole simply does not ask until it is complete. watch_signals also gives
// SIGCHLD its default action (a parent that ignores it would make the
// children's exits vanish) and makes a closed pipe or a file-size limit a
// failed write instead of a signal.
void watch_signals();
int pending_signal();  // 0 when none came
void undo_run(run_guard& guard);
[[noreturn]] void end_by_signal(int signal_number);
void guard_file(run_guard& guard, const std::string& path);
void guard_folder(run_guard& guard, const std::string& path);

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
// in `error`; a wait gives up with EINTR when a signal that ends the run
// comes.
bool lock_file(const std::string& path, bool wait, intptr_t& handle, int& error);
void unlock_file(intptr_t handle);

// Sets the file's time of last modification (and of last access) to
// `seconds` since 1970, whole seconds. Returns false with the system's reason
// in `error`.
bool set_file_time(const std::string& path, int64_t seconds, int& error);
