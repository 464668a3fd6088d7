#include "run_memory.h"

#include <new>
#include <type_traits>

#include "platform.h"

static_assert(std::is_trivially_destructible_v<run_memory>, "the run's memory needs no destructor");
static_assert(alignof(run_memory) <= LARGE_ALIGNMENT, "allocate_large aligns the record");

run_memory* make_run_memory() {
  void* block = allocate_large(sizeof(run_memory));
  return block == nullptr ? nullptr : new (block) run_memory;
}

void release_run_memory(run_memory* memory) {
  if (memory != nullptr) free_large(memory, sizeof(run_memory));
}
