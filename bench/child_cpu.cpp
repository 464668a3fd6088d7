// Runs a program once in each of several folders and prints the CPU time
// (user + system) those runs took, in milliseconds per run. The processes are
// started with posix_spawn, so that no shell's fork is counted: a shell that
// forks itself before each run copies its own memory map, whose cost then
// lands on the child and hides the program's own.
//
//   child_cpu FOLDER... -- PROGRAM ARGUMENT...
//
// Each run's standard output and standard error go to /dev/null; a run that
// does not end with status 0 ends this program with status 1.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

double milliseconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  int split = 1;
  while (split < argc && std::strcmp(argv[split], "--") != 0) ++split;
  if (split == 1 || split + 1 >= argc) {
    std::fprintf(stderr, "usage: child_cpu FOLDER... -- PROGRAM ARGUMENT...\n");
    return 2;
  }
  double total = 0;
  for (int f = 1; f < split; ++f) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, argv[f]);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int error = posix_spawn(&child, argv[split + 1], &actions, nullptr, argv + split + 1, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
      std::fprintf(stderr, "child_cpu: cannot start %s: %s\n", argv[split + 1], std::strerror(error));
      return 1;
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "child_cpu: %s did not end well in %s\n", argv[split + 1], argv[f]);
      return 1;
    }
    total += milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
  }
  std::printf("%.3f\n", total / static_cast<double>(split - 1));
  return 0;
}
