#include "platform.h"

#include <cerrno>
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
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace {

// The signal handler's one way to the run's state.
run_guard* guard_target = nullptr;

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

void undo_run(run_guard& guard) {
  if (guard.children != nullptr) {
    for (child_process& child : *guard.children) {
      if (!child.running) continue;
      const HANDLE process = reinterpret_cast<HANDLE>(child.handle);
      TerminateProcess(process, 1);
      WaitForSingleObject(process, 5000);
    }
  }
  for (const std::string& file : guard.files) DeleteFileW(widen(file).c_str());
  for (auto folder = guard.folders.rbegin(); folder != guard.folders.rend(); ++folder) {
    RemoveDirectoryW(widen(*folder).c_str());
  }
}

// Runs on a thread of its own while the main thread goes on; the process ends
// here, with the status Windows gives a program ended by Ctrl-C.
BOOL WINAPI console_event(DWORD) {
  if (guard_target != nullptr) undo_run(*guard_target);
  ExitProcess(STATUS_CONTROL_C_EXIT);
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
  bool started = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE;
  if (started) {
    started = CreateProcessW(widen(program).c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &info) != 0;
  }
  error = started ? 0 : ENOENT;
  for (const HANDLE h : {in, out, err}) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  if (!started) return false;
  CloseHandle(info.hThread);
  child.handle = reinterpret_cast<intptr_t>(info.hProcess);
  child.running = true;
  return true;
}

int wait_any_child(std::vector<child_process>& children, child_exit& exit) {
  std::vector<HANDLE> handles;
  std::vector<int> indices;
  for (std::size_t k = 0; k < children.size(); ++k) {
    if (!children[k].running) continue;
    handles.push_back(reinterpret_cast<HANDLE>(children[k].handle));
    indices.push_back(static_cast<int>(k));
  }
  if (handles.empty()) return -1;
  const DWORD which =
      WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
  const std::size_t k = which - WAIT_OBJECT_0 < handles.size() ? which - WAIT_OBJECT_0 : 0;
  DWORD code = 1;
  GetExitCodeProcess(handles[k], &code);
  CloseHandle(handles[k]);
  children[static_cast<std::size_t>(indices[k])].running = false;
  exit = {static_cast<int>(code), 0};
  return indices[k];
}

void stop_child(child_process& child) {
  if (!child.running) return;
  const HANDLE process = reinterpret_cast<HANDLE>(child.handle);
  TerminateProcess(process, 1);
  WaitForSingleObject(process, INFINITE);
  CloseHandle(process);
  child.running = false;
}

void install_run_guard(run_guard& guard) {
  guard_target = &guard;
  SetConsoleCtrlHandler(console_event, TRUE);
}

void release_run_guard() {
  SetConsoleCtrlHandler(console_event, FALSE);
  guard_target = nullptr;
}

void hold_signals() {}
void release_signals() {}

bool lock_file(const std::string& path, bool wait, intptr_t& handle, int& error) {
  const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = EACCES;
    return false;
  }
  OVERLAPPED whole{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY), 0, 1, 0, &whole)) {
    error = GetLastError() == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : EACCES;
    CloseHandle(file);
    return false;
  }
  handle = reinterpret_cast<intptr_t>(file);
  return true;
}

void unlock_file(intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

void hold_interrupts() { SetConsoleCtrlHandler(nullptr, TRUE); }
void release_interrupts() { SetConsoleCtrlHandler(nullptr, FALSE); }

#else

namespace {

constexpr int GUARDED_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1,
                                   SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF};

sigset_t guarded_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : GUARDED_SIGNALS) sigaddset(&set, s);
  return set;
}

// Only calls that are safe in a signal handler: kill, waitpid, unlink, rmdir,
// sigaction, raise. The guard's strings were made before the signal came.
void on_signal(int signal_number) {
  if (guard_target != nullptr) {
    run_guard& guard = *guard_target;
    if (guard.children != nullptr) {
      for (child_process& child : *guard.children) {
        if (!child.running) continue;
        kill(static_cast<pid_t>(child.handle), SIGKILL);
        waitpid(static_cast<pid_t>(child.handle), nullptr, 0);
      }
    }
    for (const std::string& file : guard.files) unlink(file.c_str());
    for (auto folder = guard.folders.rbegin(); folder != guard.folders.rend(); ++folder)
      rmdir(folder->c_str());
  }
  // The signal is held back until this handler returns; then, with its
  // default action back, it ends the program, so that the caller sees it.
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  sigaction(signal_number, &plain, nullptr);
  raise(signal_number);
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

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  const int create = O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_addopen(&files, 1, out_path.empty() ? "/dev/null" : out_path.c_str(), create,
                                   0644);
  posix_spawn_file_actions_addopen(&files, 2, err_path.empty() ? "/dev/null" : err_path.c_str(), create,
                                   0644);
  // The decoder starts with no signal held back and the default actions.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t guarded = guarded_set();
  sigaddset(&guarded, SIGPIPE);
  sigaddset(&guarded, SIGXFSZ);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &guarded);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  // Started and recorded together: a signal in between would miss the child.
  hold_signals();
  pid_t pid = 0;
  error = posix_spawn(&pid, program.c_str(), &files, &attributes, argv.data(), environ);
  if (error == 0) {
    child.handle = pid;
    child.running = true;
  }
  release_signals();
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attributes);
  return error == 0;
}

int wait_any_child(std::vector<child_process>& children, child_exit& exit) {
  for (;;) {
    bool any = false;
    for (const child_process& child : children) any = any || child.running;
    if (!any) return -1;
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    for (std::size_t k = 0; k < children.size(); ++k) {
      if (!children[k].running || children[k].handle != pid) continue;
      hold_signals();
      children[k].running = false;
      release_signals();
      exit = {WIFEXITED(status) ? WEXITSTATUS(status) : 0, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
      return static_cast<int>(k);
    }
  }
}

void stop_child(child_process& child) {
  if (!child.running) return;
  hold_signals();
  kill(static_cast<pid_t>(child.handle), SIGKILL);
  waitpid(static_cast<pid_t>(child.handle), nullptr, 0);
  child.running = false;
  release_signals();
}

void install_run_guard(run_guard& guard) {
  guard_target = &guard;
  // A closed standard error or a file-size limit is a failed write, which
  // the program reports and cleans up after, not a signal that ends it with
  // its temporary folder left behind. The decoders get the default actions.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = on_signal;
  action.sa_mask = guarded_set();
  for (const int s : GUARDED_SIGNALS) {
    struct sigaction previous {};
    sigaction(s, nullptr, &previous);
    // A signal the shell made us ignore (nohup, a background job) stays ignored.
    if (previous.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
}

void release_run_guard() {
  hold_signals();
  guard_target = nullptr;
  release_signals();
}

void hold_signals() {
  const sigset_t set = guarded_set();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_signals() {
  const sigset_t set = guarded_set();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

bool lock_file(const std::string& path, bool wait, intptr_t& handle, int& error) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = errno;
    return false;
  }
  int result = 0;
  while ((result = flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
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

void hold_interrupts() { hold_signals(); }
void release_interrupts() { release_signals(); }

#endif

void guard_file(run_guard& guard, const std::string& path) {
  hold_signals();
  guard.files.push_back(path);
  release_signals();
}

void guard_folder(run_guard& guard, const std::string& path) {
  hold_signals();
  guard.folders.push_back(path);
  release_signals();
}

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
