#include "folder_lock.h"

#include <cerrno>

#include "platform.h"

folder_lock::~folder_lock() { release(); }

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
