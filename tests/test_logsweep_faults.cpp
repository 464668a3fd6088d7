// logsweep as users start it from a shell (bash, or cmd.exe on Windows), so
// that pipes and redirections are made as they make them: inputs that are no
// regular file, closed and redirected standard streams, file-size limits and
// signals. Each row names what it guards against.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "line_ends.h"
#include "logsweep_files.h"
#include "logsweep_model.h"
#include "program_runner.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "ending_signals.h"
#endif

namespace {

const std::string LOGSWEEP = LOGSWEEP_PATH;

// Progress redraws with UTF-8 bars: more than a pipe holds and than the
// program reads at once, so that the output is written in several pieces.
std::string progress_log() {
  std::string log;
  for (int track = 0; track < 20000; ++track) {
    log += "track ";
    log += std::to_string(track);
    log += " \xE2\x96\x88\xE2\x96\x91";
    for (int percent = 0; percent <= 100; percent += 25) {
      log += '\r';
      log += std::to_string(percent);
      log += "% \xE2\x96\x88";
    }
    log += '\n';
  }
  return log;
}

const std::string LOG = progress_log();
const std::string CLEANED = model_output(LOG);

struct file_after {
  const char* path;
  std::optional<std::string> contents;  // none: the file must not exist
};

struct shell_case {
  const char* name;
  const char* command;  // run in a folder that holds in.log; LOGSWEEP stands for the program
  int status;
  std::string out;
  std::string err;
  std::vector<file_after> files;
};

// Every row leaves in.log as it was.
void check_rows(const std::vector<shell_case>& rows, const std::string& shell, const std::string& flag,
                const std::string& program) {
  for (const shell_case& c : rows) {
    temp_dir folder;
    write_bytes(folder.file("in.log"), LOG);
    std::string command = c.command;
    command.replace(command.find("LOGSWEEP"), 8, program);
    const program_run run = run_program(shell, {flag, command}, folder.path, 120);
    EXPECT_EQ(run.status, c.status) << c.name;
    EXPECT_TRUE(run.out == c.out) << c.name << ": standard output of " << run.out.size() << " bytes";
    EXPECT_EQ(run.err, c.err) << c.name;
    EXPECT_TRUE(read_bytes(folder.file("in.log")) == LOG) << c.name << ": the input changed";
    for (const file_after& f : c.files) {
      EXPECT_EQ(std::filesystem::exists(folder.file(f.path)), f.contents.has_value())
          << c.name << ": " << f.path;
      if (f.contents) {
        EXPECT_TRUE(read_bytes(folder.file(f.path)) == *f.contents) << c.name << ": " << f.path;
      }
    }
  }
}

// The program started directly, on every system: what it writes must not
// depend on what a file held before, nor on bytes that some systems once gave
// a meaning of their own.
struct direct_case {
  const char* name;
  std::string log;
  std::vector<std::string> args;  // in a folder that holds in.log and a longer out.txt
  std::string out;
  std::string file;  // out.txt afterwards
};

TEST(LogsweepFaults, DirectRows) {
  const std::string old_text(200, 'o');
  const std::vector<direct_case> rows = {
      {"an existing longer output file is emptied first",
       "10%\r50%\n",
       {"in.log", "out.txt"},
       "",
       "50%" TEXT_END TEXT_END},
      // Ctrl-Z (1A) ended a file read in the text mode of DOS and Windows.
      {"a Ctrl-Z byte, cleaned to a file",
       "before\x1a"
       "after\rX\n",
       {"in.log", "out.txt"},
       "",
       "Xefore\x1a"
       "after" TEXT_END TEXT_END},
      {"a Ctrl-Z byte, cleaned to standard output",
       "before\x1a"
       "after\n",
       {"in.log"},
       "before\x1a"
       "after" TEXT_END TEXT_END,
       old_text},
  };
  for (const direct_case& c : rows) {
    temp_dir folder;
    write_bytes(folder.file("in.log"), c.log);
    write_bytes(folder.file("out.txt"), old_text);
    const program_run run = run_program(LOGSWEEP, c.args, folder.path);
    EXPECT_EQ(run.status, 0) << c.name;
    EXPECT_EQ(run.out, c.out) << c.name;
    EXPECT_EQ(run.err, "") << c.name;
    EXPECT_EQ(read_bytes(folder.file("out.txt")), c.file) << c.name;
  }
}

#ifndef _WIN32

const std::string CANNOT_WRITE_CONSOLE = "Cannot write to standard output" MESSAGE_END;

const std::vector<shell_case> SHELL_CASES = {
    {"a pipe read as /dev/stdin", "cat in.log | LOGSWEEP /dev/stdin", 0, CLEANED, "", {}},
    {"a pipe read as /dev/fd/0, cleaned to a file",
     "cat in.log | LOGSWEEP /dev/fd/0 out.txt",
     0,
     "",
     "",
     {{"out.txt", CLEANED}}},
    {"a process substitution", "LOGSWEEP <(cat in.log)", 0, CLEANED, "", {}},
    {"a FIFO whose writer comes later",
     // The writer is ended if the program never opened the FIFO.
     "mkfifo fifo; (sleep 1; cat in.log > fifo) & LOGSWEEP fifo; status=$?; kill $! 2> /dev/null; exit "
     "$status",
     0,
     CLEANED,
     "",
     {}},
    {"standard output closed by the shell",
     "LOGSWEEP in.log >&-",
     2,
     "",
     "logsweep: standard output: Bad file descriptor" MESSAGE_END + CANNOT_WRITE_CONSOLE,
     {}},
    // As cat ends: by SIGPIPE, silently (status 128 + 13).
    {"a pipe closed by its reader",
     "LOGSWEEP in.log | head -c 1 > /dev/null; exit ${PIPESTATUS[0]}",
     141,
     "",
     "",
     {}},
    {"a pipe closed by its reader, named as the output file",
     "LOGSWEEP in.log /dev/stdout | head -c 1 > /dev/null; exit ${PIPESTATUS[0]}",
     2,
     "",
     "logsweep: /dev/stdout: Broken pipe" MESSAGE_END,
     {}},
    {"an existing longer output",
     "cat in.log in.log > out.txt; LOGSWEEP in.log out.txt",
     0,
     "",
     "",
     {{"out.txt", CLEANED}}},
    {"a file-size limit",
     "ulimit -f 64; LOGSWEEP in.log out.txt",
     2,
     "Cannot write to out.txt" MESSAGE_END,
     "logsweep: out.txt: File too large" MESSAGE_END,
     {{"out.txt", std::nullopt}}},
    {"another hard link of a failed output",
     "echo old > kept.txt; ln kept.txt out.txt; ulimit -f 64; LOGSWEEP in.log out.txt",
     2,
     "Cannot write to out.txt" MESSAGE_END,
     "logsweep: out.txt: File too large" MESSAGE_END,
     {{"out.txt", std::nullopt}, {"kept.txt", ""}}},
    {"a read error in file mode",
     "LOGSWEEP /proc/self/mem out.txt",
     1,
     "Cannot read /proc/self/mem" MESSAGE_END,
     "logsweep: /proc/self/mem: Input/output error" MESSAGE_END,
     {{"out.txt", std::nullopt}}},
};

TEST(LogsweepFaults, ShellRows) { check_rows(SHELL_CASES, "/bin/bash", "-c", shell_command(LOGSWEEP)); }

// Any ending signal while the output is written: the output file is removed and the
// program ends by that signal, so the caller still sees it. The input is a
// pipe that the test holds open, so the program is still at work when the
// signal comes.
TEST(LogsweepFaults, SignalWhileWritingRemovesTheOutput) {
  for (const int signal_number : ENDING_SIGNALS) {
    temp_dir folder;
    int feed[2];
    ASSERT_EQ(pipe(feed), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(feed[0], 0);
      close(feed[0]);
      close(feed[1]);
      if (chdir(folder.path.c_str()) != 0) _exit(127);
      exec_program(LOGSWEEP, {"/dev/stdin", "out.txt"});
    }
    close(feed[0]);
    // A program that stopped reading fails the test, not ends it.
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    for (std::size_t done = 0; done < LOG.size();) {
      const ssize_t n = write(feed[1], LOG.data() + done, LOG.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    std::signal(SIGPIPE, previous);
    // Written in pieces: the first one shows that the output is under way.
    const auto output_begun = [&] {
      std::error_code error;
      const auto size = std::filesystem::file_size(folder.file("out.txt"), error);
      return !error && size > 0;
    };
    for (int wait = 0; wait < 6000 && !output_begun(); ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, signal_number);
    int status = 0;
    waitpid(pid, &status, 0);
    close(feed[1]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << strsignal(signal_number);
    EXPECT_FALSE(std::filesystem::exists(folder.file("out.txt"))) << strsignal(signal_number);
  }
}

#else

// The program's own path as cmd.exe reads it.
std::string cmd_path(const std::string& program) {
  return std::filesystem::absolute(std::filesystem::path(program)).make_preferred().string();
}

// Redirections that cmd.exe makes give handles without the right to read
// the file's attributes; the program must still know them for the input.
const std::vector<shell_case> CMD_CASES = {
    {"cmd: LOGSWEEP in.log >> in.log",
     "LOGSWEEP in.log >> in.log",
     2,
     "",
     "Output is the input file 'in.log'." MESSAGE_END,
     {}},
    {"cmd: messages appended to the input too", "LOGSWEEP in.log >> in.log 2>&1", 2, "", "", {}},
    {"cmd: the reason of a failed output with standard error on the input",
     "LOGSWEEP in.log no\\such\\out.txt 2>> in.log",
     2,
     "Cannot write to no\\such\\out.txt" MESSAGE_END,
     "",
     {}},
    {"cmd: another file through >", "LOGSWEEP in.log > out.txt", 0, "", "", {{"out.txt", CLEANED}}},
    {"cmd: an existing longer output",
     "copy /b in.log+in.log out.txt > NUL & LOGSWEEP in.log out.txt",
     0,
     "",
     "",
     {{"out.txt", CLEANED}}},
};

TEST(LogsweepFaults, CmdRedirectionsOntoTheInput) {
  char system_folder[MAX_PATH];
  const UINT size = GetSystemDirectoryA(system_folder, MAX_PATH);
  ASSERT_GT(size, 0u);
  check_rows(CMD_CASES, std::string(system_folder, size) + "\\cmd.exe", "/c", cmd_path(LOGSWEEP));
}

// A console shows the program's UTF-8 text while it runs; its code page is
// put back at the end. The input is a named pipe that the test holds open,
// so the program is still at work when the console is looked at.
TEST(LogsweepFaults, ConsoleShowsUtf8DuringTheRun) {
  constexpr UINT OTHER_CODE_PAGE = 850;
  if ((GetConsoleWindow() == nullptr && !AllocConsole()) || !SetConsoleOutputCP(OTHER_CODE_PAGE)) {
    GTEST_SKIP() << "LogsweepFaults.ConsoleShowsUtf8DuringTheRun not run: no console here";
  }
  const std::wstring pipe_name = L"\\\\.\\pipe\\logsweep-test-" + std::to_wstring(GetCurrentProcessId());
  const HANDLE pipe = CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                       65536, 65536, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(console, INVALID_HANDLE_VALUE);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = console;
  startup.hStdError = console;
  const std::wstring application =
      std::filesystem::absolute(std::filesystem::path(utf16(LOGSWEEP))).wstring();
  std::wstring line;
  append_argument(line, application);
  append_argument(line, pipe_name);
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &process));
  const bool connected = ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
  const UINT during = GetConsoleOutputCP();
  DWORD written = 0;
  WriteFile(pipe, "10%\r20%\n", 8, &written, nullptr);
  CloseHandle(pipe);
  WaitForSingleObject(process.hProcess, 60000);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(console);
  EXPECT_TRUE(connected);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(during, static_cast<UINT>(CP_UTF8));
  EXPECT_EQ(GetConsoleOutputCP(), OTHER_CODE_PAGE);
}

// Under wine, a redirection made by the Unix shell reaches the program as a
// handle of a disk file that Windows' usual calls cannot identify: it must
// still be known as the input. Wine starts Unix programs, so the test runs
// the Unix shell, which runs the program through wine.
TEST(LogsweepFaults, UnixShellAppendsOntoTheInputUnderWine) {
  using unix_name = char*(CDECL*)(const wchar_t*);
  // Through void (*)(): a function pointer of no particular type.
  const auto to_unix = reinterpret_cast<unix_name>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (to_unix == nullptr)
    GTEST_SKIP() << "LogsweepFaults.UnixShellAppendsOntoTheInputUnderWine runs under wine only";
  temp_dir folder;
  write_bytes(folder.file("in.log"), LOG);
  char* const unix_folder = to_unix(utf16(folder.path).c_str());
  ASSERT_NE(unix_folder, nullptr);
  // A program that appends its own output for ever is stopped at 64 MiB.
  const std::string script =
      std::string("cd '") + unix_folder +
      "' && ulimit -f 65536 && wine=$(command -v wine64 || echo /usr/lib/wine/wine64) && "
      "timeout 120 \"$wine\" '" +
      LOGSWEEP + "' in.log >> in.log 2> err.txt; echo $? > status";
  HeapFree(GetProcessHeap(), 0, unix_folder);
  std::wstring line;
  for (const char* word : {"/bin/sh", "-c"}) append_argument(line, utf16(word));
  append_argument(line, utf16(script));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // Wine does not wait for a Unix process: the status file says it is done.
  for (int wait = 0; wait < 1500 && read_bytes(folder.file("status")).empty(); ++wait) Sleep(100);
  EXPECT_EQ(read_bytes(folder.file("status")), "2\n");
  EXPECT_EQ(read_bytes(folder.file("err.txt")), "Output is the input file 'in.log'." MESSAGE_END);
  EXPECT_TRUE(read_bytes(folder.file("in.log")) == LOG) << "the input changed";
}

#endif

}  // namespace
