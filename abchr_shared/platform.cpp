#include "platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "utf8_paths.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sched.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace {

// The one thing a signal handler may touch: which signal came first, for the
// main flow to act on. Lock-free, so that a handler (and on Windows the
// console's own thread) may set it.
std::atomic<int> signal_pending{0};

void record_signal(int signal_number) {
  int none = 0;
  signal_pending.compare_exchange_strong(none, signal_number);
}

// How long a wait sleeps at most before it looks at the pending signal and the
// children's deadlines again.
constexpr double LONGEST_NAP = 0.1;

// The time a child still has before its deadline, capped at LONGEST_NAP; <= 0
// when it is past.
double time_left(const child_process& child, double now) {
  if (child.seconds_allowed <= 0) return LONGEST_NAP;
  return std::min(LONGEST_NAP, child.started + child.seconds_allowed - now);
}

std::vector<std::string> path_folders() {
  std::vector<std::string> folders;
  const char* path = std::getenv("PATH");
  if (path == nullptr) return folders;
#ifdef _WIN32
  const char separator = ';';
#else
  const char separator = ':';
#endif
  std::string rest = path;
  for (std::size_t start = 0;;) {
    const std::size_t end = rest.find(separator, start);
    // An empty entry of a POSIX PATH stands for the current folder.
    std::string folder = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
    folders.push_back(folder.empty() ? "." : folder);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return folders;
}

}  // namespace

std::string system_reason(int error) { return std::strerror(error); }

#ifdef _WIN32

namespace {

std::wstring widen(const std::string& text) {
  const int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), count);
  return wide;
}

// One argument as CommandLineToArgvW and the C runtime read it back: quoted
// when it holds a blank, a tab or a quote or is empty; backslashes doubled
// only before a quote or the closing quote.
void append_quoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      line.append(2 * backslashes + 1, L'\\');
    else
      line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

HANDLE open_for_child(const std::string& path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  if (path.empty()) {
    return CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                       nullptr);
  }
  return CreateFileW(widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Runs on a thread of its own while the main thread goes on: it only records
// the event. After closing the console, logging off or shutting down, the
// system ends the process as soon as this returns, so it waits here while the
// main thread cleans up and ends the process itself.
BOOL WINAPI console_event(DWORD event) {
  record_signal(SIGINT);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    Sleep(INFINITE);
  return TRUE;
}

}  // namespace

std::string find_on_path(const std::string& name) {
  for (const std::string& folder : path_folders()) {
    const std::filesystem::path candidate = path_of(folder) / path_of(name + ".exe");
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec)) return text_of(candidate);
  }
  return "";
}

bool start_child(const std::string& program, const std::vector<std::string>& args,
                 const std::string& out_path, const std::string& err_path, child_process& child, int& error) {
  std::wstring line;
  append_quoted(line, widen(program));
  for (const std::string& arg : args) {
    line += L' ';
    append_quoted(line, widen(arg));
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr);
  const HANDLE out = open_for_child(out_path);
  const HANDLE err = open_for_child(err_path);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION info{};
  // The child runs in a job that ends it when the job's last handle, which
  // only this program holds, closes: when this program ends, however it ends.
  const HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  bool started = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                 job != nullptr &&
                 SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) != 0;
  if (started) {
    started = CreateProcessW(widen(program).c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                             nullptr, nullptr, &startup, &info) != 0;
  }
  if (started && AssignProcessToJobObject(job, info.hProcess) == 0) {
    TerminateProcess(info.hProcess, 1);
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    started = false;
  }
  error = started ? 0 : ENOENT;
  for (const HANDLE h : {in, out, err}) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  if (!started) {
    if (job != nullptr) CloseHandle(job);
    return false;
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  child.handle = reinterpret_cast<intptr_t>(info.hProcess);
  child.job = reinterpret_cast<intptr_t>(job);
  child.running = true;
  child.started = monotonic_seconds();
  return true;
}

namespace {

void end_child(child_process& child, DWORD wait_ms) {
  const HANDLE process = reinterpret_cast<HANDLE>(child.handle);
  TerminateProcess(process, 1);
  WaitForSingleObject(process, wait_ms);
  CloseHandle(process);
  CloseHandle(reinterpret_cast<HANDLE>(child.job));
  child.running = false;
}

}  // namespace

int wait_any_child(std::vector<child_process>& children, child_exit& exit) {
  for (;;) {
    std::vector<HANDLE> handles;
    std::vector<int> indices;
    double nap = LONGEST_NAP;
    const double now = monotonic_seconds();
    for (std::size_t k = 0; k < children.size(); ++k) {
      if (!children[k].running) continue;
      const double left = time_left(children[k], now);
      if (left <= 0) {
        end_child(children[k], INFINITE);
        exit = {1, 0, true};
        return static_cast<int>(k);
      }
      nap = std::min(nap, left);
      handles.push_back(reinterpret_cast<HANDLE>(children[k].handle));
      indices.push_back(static_cast<int>(k));
    }
    if (handles.empty()) return -1;
    if (pending_signal() != 0) return WAIT_INTERRUPTED;
    const DWORD which = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                               static_cast<DWORD>(nap * 1000) + 1);
    if (which == WAIT_TIMEOUT) continue;
    const std::size_t k = which - WAIT_OBJECT_0 < handles.size() ? which - WAIT_OBJECT_0 : 0;
    DWORD code = 1;
    GetExitCodeProcess(handles[k], &code);
    child_process& child = children[static_cast<std::size_t>(indices[k])];
    CloseHandle(handles[k]);
    CloseHandle(reinterpret_cast<HANDLE>(child.job));
    child.running = false;
    exit = {static_cast<int>(code), 0, false};
    return indices[k];
  }
}

void stop_child(child_process& child) {
  if (child.running) end_child(child, INFINITE);
}

void watch_signals() { SetConsoleCtrlHandler(console_event, TRUE); }

void end_by_signal(int) {
  // The status Windows gives a program ended by Ctrl-C.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

bool lock_file(const std::string& path, bool wait, intptr_t& handle, int& error) {
  const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = EACCES;
    return false;
  }
  // A wait is a try now and then, so that Ctrl-C can end it.
  for (;;) {
    OVERLAPPED whole{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) break;
    error = GetLastError() == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : EACCES;
    if (error == EWOULDBLOCK && wait && pending_signal() != 0) error = EINTR;
    if (error != EWOULDBLOCK || !wait) {
      CloseHandle(file);
      return false;
    }
    Sleep(50);
  }
  handle = reinterpret_cast<intptr_t>(file);
  return true;
}

void unlock_file(intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

#else

namespace {

constexpr int GUARDED_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1,
                                   SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF};
// What the children get back with their default action: the guarded signals,
// and those that this program ignores or holds back.
constexpr int CHILD_DEFAULTS[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                  SIGXCPU, SIGVTALRM, SIGPROF, SIGPIPE, SIGXFSZ, SIGCHLD};

void on_signal(int signal_number) { record_signal(signal_number); }

sigset_t child_exit_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  return set;
}

// In the child between fork and exec: only calls that are safe there.
[[noreturn]] void become_child(const char* program, char* const* argv, const char* out_path,
                               const char* err_path, pid_t parent, int report) {
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  for (const int s : CHILD_DEFAULTS) sigaction(s, &plain, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
#ifdef __linux__
  // Killed when this program ends, even by SIGKILL; and if it has ended
  // already, the child would have been handed to another parent.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
#else
  (void)parent;
#endif
  const int create = O_WRONLY | O_CREAT | O_TRUNC;
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(out_path, create, 0644);
  const int err = open(err_path, create, 0644);
  if (in >= 0 && out >= 0 && err >= 0 && dup2(in, 0) >= 0 && dup2(out, 1) >= 0 && dup2(err, 2) >= 0) {
    execve(program, argv, environ);
  }
  const int error = errno;
  if (write(report, &error, sizeof error) < 0) _exit(127);
  _exit(127);
}

}  // namespace

std::string find_on_path(const std::string& name) {
  for (const std::string& folder : path_folders()) {
    const std::string candidate = folder + "/" + name;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return "";
}

bool start_child(const std::string& program, const std::vector<std::string>& args,
                 const std::string& out_path, const std::string& err_path, child_process& child, int& error) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const char* out = out_path.empty() ? "/dev/null" : out_path.c_str();
  const char* err = err_path.empty() ? "/dev/null" : err_path.c_str();
  // The child tells why exec failed through a pipe that exec closes.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    error = errno;
    return false;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) become_child(program.c_str(), argv.data(), out, err, parent, report[1]);
  close(report[1]);
  if (pid < 0) {
    error = errno;
    close(report[0]);
    return false;
  }
  int failure = 0;
  ssize_t got = 0;
  while ((got = read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    error = failure;
    return false;
  }
  error = 0;
  child.handle = pid;
  child.running = true;
  child.started = monotonic_seconds();
  return true;
}

int wait_any_child(std::vector<child_process>& children, child_exit& exit) {
  const sigset_t exits = child_exit_set();
  for (;;) {
    bool any = false;
    double nap = LONGEST_NAP;
    const double now = monotonic_seconds();
    for (std::size_t k = 0; k < children.size(); ++k) {
      child_process& child = children[k];
      if (!child.running) continue;
      any = true;
      const pid_t pid = static_cast<pid_t>(child.handle);
      int status = 0;
      const pid_t ended = waitpid(pid, &status, WNOHANG);
      if (ended == pid) {
        child.running = false;
        exit = {WIFEXITED(status) ? WEXITSTATUS(status) : 0, WIFSIGNALED(status) ? WTERMSIG(status) : 0,
                false};
        return static_cast<int>(k);
      }
      if (ended < 0 && errno != EINTR) {
        // Not ours to wait for any more: how it ended is unknown, so it failed.
        child.running = false;
        exit = {-1, 0, false};
        return static_cast<int>(k);
      }
      const double left = time_left(child, now);
      if (left <= 0) {
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        child.running = false;
        exit = {0, SIGKILL, true};
        return static_cast<int>(k);
      }
      nap = std::min(nap, left);
    }
    if (!any) return -1;
    if (pending_signal() != 0) return WAIT_INTERRUPTED;
    // SIGCHLD is held back, so one that came meanwhile ends this at once; a
    // guarded signal's handler ends it early too.
    timespec pause{0, static_cast<long>(nap * 1e9)};
    sigtimedwait(&exits, nullptr, &pause);
  }
}

void stop_child(child_process& child) {
  if (!child.running) return;
  kill(static_cast<pid_t>(child.handle), SIGKILL);
  while (waitpid(static_cast<pid_t>(child.handle), nullptr, 0) < 0 && errno == EINTR) {
  }
  child.running = false;
}

void watch_signals() {
  // A closed standard error or a file-size limit is a failed write, which
  // the program reports and cleans up after, not a signal that ends it with
  // its temporary folder left behind.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  // Inherited as ignored, SIGCHLD would make the system reap the children
  // itself, and waiting for one would fail or, later, find another process
  // under its id. Held back, it is there for the wait to catch.
  signal(SIGCHLD, SIG_DFL);
  const sigset_t exits = child_exit_set();
  sigprocmask(SIG_BLOCK, &exits, nullptr);
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (const int s : GUARDED_SIGNALS) {
    struct sigaction previous {};
    sigaction(s, nullptr, &previous);
    // A signal the shell made us ignore (nohup, a background job) stays ignored.
    if (previous.sa_handler == SIG_IGN) continue;
    // No SA_RESTART: a wait for the lock ends, and the run acts on the signal.
    sigaction(s, &action, nullptr);
  }
}

void end_by_signal(int signal_number) {
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  sigaction(signal_number, &plain, nullptr);
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, signal_number);
  sigprocmask(SIG_UNBLOCK, &just, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);
}

bool lock_file(const std::string& path, bool wait, intptr_t& handle, int& error) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = errno;
    return false;
  }
  int result = 0;
  while ((result = flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB)) != 0 && errno == EINTR &&
         pending_signal() == 0) {
  }
  if (result != 0) {
    error = errno;
    close(fd);
    return false;
  }
  handle = fd;
  return true;
}

// Closing the descriptor ends the lock.
void unlock_file(intptr_t handle) { close(static_cast<int>(handle)); }

#endif

double monotonic_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int pending_signal() { return signal_pending.load(); }

void undo_run(run_guard& guard) {
  if (guard.children != nullptr) {
    for (child_process& child : *guard.children) stop_child(child);
  }
  std::error_code ignored;
  for (const std::string& file : guard.files) std::filesystem::remove(path_of(file), ignored);
  for (auto folder = guard.folders.rbegin(); folder != guard.folders.rend(); ++folder) {
    // Only an empty folder goes: one that holds something is not this run's alone.
    std::filesystem::remove(path_of(*folder), ignored);
  }
}

void guard_file(run_guard& guard, const std::string& path) { guard.files.push_back(path); }

void guard_folder(run_guard& guard, const std::string& path) { guard.folders.push_back(path); }

std::string install_hint(const std::string& program) {
#ifdef _WIN32
  if (program == "opusdec")
    return "get opus-tools from https://opus-codec.org/downloads/ and add its folder to PATH";
  return "get ffmpeg.exe and ffprobe.exe from https://ffmpeg.org/download.html and add their folder to PATH";
#else
  const std::string package = program == "opusdec" ? "opus-tools" : "ffmpeg";
  return "install it (Debian: sudo apt-get install " + package + ")";
#endif
}

int processor_count() {
#ifndef _WIN32
  // The processors this process may run on, as nproc counts them: a
  // container or taskset often allows fewer than the machine has.
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
    return CPU_COUNT(&allowed);
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

bool set_file_time(const std::string& path, int64_t seconds, int& error) {
#ifdef _WIN32
  const HANDLE file = CreateFileW(widen(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = EACCES;
    return false;
  }
  // FILETIME counts 100 ns from 1601, 11644473600 s before 1970.
  const auto ticks = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ULL;
  FILETIME time{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
  const bool set = SetFileTime(file, nullptr, &time, &time) != 0;
  if (!set) error = EACCES;
  CloseHandle(file);
  return set;
#else
  const timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) == 0) return true;
  error = errno;
  return false;
#endif
}
