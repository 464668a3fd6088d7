// A library for LD_PRELOAD that makes one allocation of a program fail, so
// that a test can fail each in turn: the n-th call, counted from the start of
// the process, of malloc, calloc, realloc, the aligned allocations (operator
// new reaches all of them through malloc or aligned_alloc) and mmap, where
// wavmatch2 takes its large pages.
//
//   FAIL_ALLOCATION=n          the call that fails (none when unset or 0)
//   ALLOCATION_COUNT_FILE=path receives the number of calls made, at exit
//
// It calls the C library's own entry points, never the symbols it replaces,
// and allocates nothing itself.

// Both names of mmap are defined below: neither may stand for the other.
#undef _FILE_OFFSET_BITS

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

long calls = 0;
long failing_call = -1;  // -1: not read yet

// True when this call is the one to fail.
bool fails_now() {
  if (failing_call < 0) {
    const char* text = getenv("FAIL_ALLOCATION");
    failing_call = text != nullptr ? strtol(text, nullptr, 10) : 0;
  }
  return ++calls == failing_call;
}

__attribute__((destructor)) void write_count() {
  const char* path = getenv("ALLOCATION_COUNT_FILE");
  if (path == nullptr) return;
  char text[32];
  const int length = snprintf(text, sizeof text, "%ld\n", calls);
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  if (write(fd, text, static_cast<size_t>(length)) != length) unlink(path);
  close(fd);
}

void* refused() {
  errno = ENOMEM;
  return nullptr;
}

}  // namespace

extern "C" {

void* malloc(size_t size) { return fails_now() ? refused() : __libc_malloc(size); }
void* calloc(size_t count, size_t size) { return fails_now() ? refused() : __libc_calloc(count, size); }
void* realloc(void* block, size_t size) { return fails_now() ? refused() : __libc_realloc(block, size); }
void* memalign(size_t alignment, size_t size) {
  return fails_now() ? refused() : __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void** block, size_t alignment, size_t size) {
  void* got = memalign(alignment, size);
  if (got == nullptr) return ENOMEM;
  *block = got;
  return 0;
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  if (fails_now()) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return reinterpret_cast<void*>(syscall(SYS_mmap, address, length, protection, flags, fd, offset));
}
void* mmap64(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  return mmap(address, length, protection, flags, fd, offset);
}
}
