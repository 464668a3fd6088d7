// The lock that lets several abchr-prepare runs add songs to one test folder
// at once. Each run prepares its song on its own; only the short step that
// moves the song in and writes the folder's shared files again (key, reports,
// configs) runs under the lock, one run at a time, so every song appears and
// no shared file mixes two runs' writing.
//
// The lock is a lock held by the system on the file TEST/.lock, which stays in
// the folder: it is released when the run ends however it ends, so no stale
// lock survives a crash. A signal that ends a run is only recorded by its
// handler, and the change does not look at it until it is complete.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

constexpr const char* LOCK_FILE = ".lock";

// Told the test folder's path when a run must wait for another's change.
using lock_wait = std::function<void(const std::string& test_folder)>;

class folder_lock {
 public:
  folder_lock() = default;
  ~folder_lock();
  folder_lock(const folder_lock&) = delete;
  folder_lock& operator=(const folder_lock&) = delete;

  // Takes the lock of the test folder, waiting while another run holds it;
  // `on_wait` is called once before waiting. false with errno set when the
  // lock file cannot be opened or locked.
  bool acquire(const std::string& test_folder, const lock_wait& on_wait);
  void release();

 private:
  intptr_t handle_ = 0;
  bool locked_ = false;
};
