#include "platform.h"

#include <new>

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#include <sys/mman.h>

#include <cstdint>

namespace {

constexpr std::size_t LARGE_PAGE = std::size_t{2} << 20;

std::size_t mapped_size(std::size_t bytes) {
  return (bytes + LARGE_PAGE - 1) / LARGE_PAGE * LARGE_PAGE + LARGE_PAGE;
}

}  // namespace

// A mapping one large page longer than asked, so that the block can start on a
// large-page boundary; the kernel then backs it with large pages on first touch.
void* allocate_large(std::size_t bytes) {
  const std::size_t size = mapped_size(bytes);
  void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + LARGE_PAGE - 1) / LARGE_PAGE * LARGE_PAGE;
  // The unused head and tail go back at once; the block keeps its own size.
  const std::size_t head = aligned - start;
  const std::size_t body = size - LARGE_PAGE;
  if (head > 0) munmap(mapped, head);
  if (LARGE_PAGE - head > 0) munmap(reinterpret_cast<void*>(aligned + body), LARGE_PAGE - head);
  void* block = reinterpret_cast<void*>(aligned);
  madvise(block, body, MADV_HUGEPAGE);  // advice only: 4 KiB pages if refused
  return block;
}

void free_large(void* block, std::size_t bytes) {
  if (block != nullptr) munmap(block, mapped_size(bytes) - LARGE_PAGE);
}

#else

// Elsewhere, and under AddressSanitizer (which checks the bounds of heap
// blocks only), the ordinary heap.
void* allocate_large(std::size_t bytes) { return ::operator new(bytes, std::nothrow); }

void free_large(void* block, std::size_t) { ::operator delete(block); }

#endif
