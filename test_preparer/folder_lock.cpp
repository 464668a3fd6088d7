#include "folder_lock.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>
#endif

folder_lock::~folder_lock() {
  release_signals();
  release();
}

#ifndef _WIN32

bool folder_lock::acquire(const std::string& test_folder, void (*on_wait)(const std::string&)) {
  const std::string path = test_folder + "/" + LOCK_FILE;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      const int error = errno;
      close(fd);
      errno = error;
      return false;
    }
    if (on_wait != nullptr) on_wait(test_folder);
    int result = 0;
    while ((result = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (result != 0) {
      const int error = errno;
      close(fd);
      errno = error;
      return false;
    }
  }
  handle_ = fd;
  return true;
}

void folder_lock::release() {
  if (handle_ < 0) return;
  close(static_cast<int>(handle_));  // closing the descriptor ends the lock
  handle_ = -1;
}

void folder_lock::hold_signals() {
  static_assert(sizeof(sigset_t) <= sizeof saved_mask_, "room for the signal mask");
  if (signals_held_) return;
  sigset_t ending;
  sigemptyset(&ending);
  for (const int s :
       {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF}) {
    sigaddset(&ending, s);
  }
  sigset_t before;
  sigprocmask(SIG_BLOCK, &ending, &before);
  std::memcpy(saved_mask_, &before, sizeof before);
  signals_held_ = true;
}

void folder_lock::release_signals() {
  if (!signals_held_) return;
  signals_held_ = false;
  sigset_t before;
  std::memcpy(&before, saved_mask_, sizeof before);
  sigprocmask(SIG_SETMASK, &before, nullptr);  // a signal that came meanwhile arrives here
}

#else

bool folder_lock::acquire(const std::string& test_folder, void (*on_wait)(const std::string&)) {
  const std::filesystem::path path =
      std::filesystem::path(std::u8string(test_folder.begin(), test_folder.end())) / LOCK_FILE;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = EACCES;
    return false;
  }
  OVERLAPPED whole{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
    if (on_wait != nullptr) on_wait(test_folder);
    OVERLAPPED again{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &again)) {
      CloseHandle(file);
      errno = EACCES;
      return false;
    }
  }
  handle_ = reinterpret_cast<long long>(file);
  return true;
}

void folder_lock::release() {
  if (handle_ < 0) return;
  CloseHandle(reinterpret_cast<HANDLE>(handle_));  // closing the handle ends the lock
  handle_ = -1;
}

// Ctrl-C and Ctrl-Break are ignored while the shared files change: Windows
// keeps no pending console event to deliver afterwards, so the change
// completes and the run goes on.
void folder_lock::hold_signals() {
  if (signals_held_) return;
  SetConsoleCtrlHandler(nullptr, TRUE);
  signals_held_ = true;
}

void folder_lock::release_signals() {
  if (!signals_held_) return;
  signals_held_ = false;
  SetConsoleCtrlHandler(nullptr, FALSE);
}

#endif
