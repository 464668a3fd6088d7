#include "folder_lock.h"

#include <cerrno>

#include "platform.h"

folder_lock::~folder_lock() {
  release_signals();
  release();
}

bool folder_lock::acquire(const std::string& test_folder, const lock_wait& on_wait) {
  const std::string path = test_folder + "/" + LOCK_FILE;
  int error = 0;
  if (!lock_file(path, false, handle_, error)) {
    if (error != EWOULDBLOCK) {
      errno = error;
      return false;
    }
    if (on_wait != nullptr) on_wait(test_folder);
    if (!lock_file(path, true, handle_, error)) {
      errno = error;
      return false;
    }
  }
  locked_ = true;
  return true;
}

void folder_lock::release() {
  if (!locked_) return;
  unlock_file(handle_);
  locked_ = false;
}

void folder_lock::hold_signals() {
  if (signals_held_) return;
  hold_interrupts();
  signals_held_ = true;
}

void folder_lock::release_signals() {
  if (!signals_held_) return;
  signals_held_ = false;
  release_interrupts();  // a signal that came meanwhile arrives here
}
