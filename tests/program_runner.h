// Runs a built program as a child process and collects its exit status and
// the exact bytes it wrote to standard output and standard error.
#pragma once

#include <string>
#include <vector>

struct program_run {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// A built program as a shell command line starts it: in a cross build, through
// the emulator (see exec_program).
inline std::string shell_command(const std::string& program) {
  std::string line;
#ifdef PROGRAM_LAUNCHER
  for (const char* word : {PROGRAM_LAUNCHER}) line += std::string(word) + " ";
#endif
  return line + program;
}

#ifndef _WIN32

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

// Replaces the calling child process with `program`. In a cross build the
// tests themselves run under an emulator, which cannot follow an exec into
// another program of the target (the kernel refuses it as not executable):
// such a program is started through the emulator named at build time. Host
// programs, such as the codecs, run directly.
[[noreturn]] inline void exec_program(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  const auto exec_words = [](const std::vector<std::string>& all, bool search_path) {
    std::vector<char*> argv;
    for (const std::string& w : all) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    if (search_path) {
      execvp(argv[0], argv.data());
    } else {
      execv(argv[0], argv.data());
    }
  };
  exec_words(words, false);
#ifdef PROGRAM_LAUNCHER
  if (errno == ENOEXEC) {
    std::vector<std::string> launched{PROGRAM_LAUNCHER};
    launched.insert(launched.end(), words.begin(), words.end());
    exec_words(launched, true);
  }
#endif
  _exit(127);
}

// A child still running after timeout_seconds is killed (status 128 + SIGALRM),
// so that a hang fails its test instead of stalling the suite. With a
// stdout_fd, the child's standard output goes there instead (a full device, a
// closed pipe) and `out` stays empty. With a memory_limit the child's address
// space is limited to that many bytes. A child may not write files beyond
// 256 MiB, so that a run that feeds on its own output fails instead of
// filling the disk.
inline program_run run_program(const std::string& program, const std::vector<std::string>& args,
                               const std::string& workdir = "", unsigned timeout_seconds = 300,
                               int stdout_fd = -1, rlim_t memory_limit = RLIM_INFINITY) {
  program_run result;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(stdout_fd >= 0 ? stdout_fd : out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    const int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, 0);
    if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(127);
    const rlimit file_size{rlim_t{256} << 20, rlim_t{256} << 20};
    const rlimit memory{memory_limit, memory_limit};
    if (setrlimit(RLIMIT_FSIZE, &file_size) != 0 || setrlimit(RLIMIT_AS, &memory) != 0) _exit(127);
    alarm(timeout_seconds);
    exec_program(program, args);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) result.status = 128 + WTERMSIG(wait_status);
  return result;
}

#else  // Windows

#include <windows.h>

#include <filesystem>
#include <thread>

inline std::wstring utf16(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

// Appends one argument so that the child's C runtime reads it back unchanged:
// quotes around it, a backslash before each quote, and backslashes doubled
// only where a quote follows them.
inline void append_argument(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
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
    line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

// A child still running after timeout_seconds is ended with status 128 + 14,
// the status a POSIX alarm gives, so that a hang fails its test. With
// closed_output the child starts without a standard output, as after ">&-".
inline program_run run_program(const std::string& program, const std::vector<std::string>& args,
                               const std::string& workdir = "", unsigned timeout_seconds = 300,
                               bool closed_output = false) {
  program_run result;
  // Made absolute here: a path from the build, such as /tmp/build/x.exe,
  // names the drive of this process's folder, not of the child's.
  const std::wstring application = std::filesystem::absolute(std::filesystem::path(utf16(program))).wstring();
  std::wstring line;
  append_argument(line, utf16(program));
  for (const std::string& a : args) append_argument(line, utf16(a));

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read, out_write, err_read, err_write;
  if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return result;
  if (!CreatePipe(&err_read, &err_write, &inherit, 0)) return result;
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_in;
  startup.hStdOutput = closed_output ? INVALID_HANDLE_VALUE : out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION process{};
  const std::wstring folder = utf16(workdir);
  const bool started = CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      folder.empty() ? nullptr : folder.c_str(), &startup, &process);
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);

  const auto drain = [](HANDLE pipe, std::string* sink) {
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) sink->append(buffer, n);
  };
  std::thread out_reader(drain, out_read, &result.out);
  std::thread err_reader(drain, err_read, &result.err);
  if (started) {
    if (WaitForSingleObject(process.hProcess, 1000 * timeout_seconds) == WAIT_TIMEOUT) {
      TerminateProcess(process.hProcess, 128 + 14);
      WaitForSingleObject(process.hProcess, INFINITE);
    }
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code)) result.status = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  // The pipes end once the child and everything it started have closed them.
  out_reader.join();
  err_reader.join();
  CloseHandle(out_read);
  CloseHandle(err_read);
  return result;
}

#endif
