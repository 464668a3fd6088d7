// What differs between the systems wavmatch2 runs on, behind one interface.
// The rest of the program uses the standard library alone and never asks
// which system it is on.
#pragma once

#include <cstddef>
#include <new>

// Memory for the run's large working buffers (the analysis windows, the
// search's workspace), in 2 MiB pages where the system offers them: a buffer
// touched for the first time costs one page fault per page, and with 4 KiB
// pages those faults are most of the fixed cost of a short run. The memory is
// not cleared. Returns nullptr when there is no memory left.
void* allocate_large(std::size_t bytes);
// Gives back a block from allocate_large with the size it was asked for.
void free_large(void* block, std::size_t bytes);

// One T for each thread in memory from allocate_large, made on first use and
// kept until the thread ends. Throws std::bad_alloc when there is no memory.
template <class T>
T& per_thread_large() {
  struct holder {
    T* object = nullptr;
    ~holder() {
      if (object == nullptr) return;
      object->~T();
      free_large(object, sizeof(T));
    }
  };
  static thread_local holder h;
  if (h.object == nullptr) {
    void* block = allocate_large(sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    h.object = new (block) T;
  }
  return *h.object;
}
