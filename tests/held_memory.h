// The run's working memory for a test, made as the main sequence makes it and
// given back when the test's scope ends.
#pragma once

#include <new>

#include "run_memory.h"

struct held_memory {
  run_memory* memory = make_run_memory();

  held_memory() {
    if (memory == nullptr) throw std::bad_alloc();
  }
  held_memory(const held_memory&) = delete;
  held_memory& operator=(const held_memory&) = delete;
  ~held_memory() { release_run_memory(memory); }
  run_memory* operator->() const { return memory; }
};
