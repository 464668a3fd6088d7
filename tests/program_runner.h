// Runs a built program as a child process and collects its exit status and
// the exact bytes it wrote to standard output and standard error.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

struct program_run {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

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
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
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
