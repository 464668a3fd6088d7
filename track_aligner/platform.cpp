#include "platform.h"

#include <cerrno>
#include <new>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#endif

namespace {

[[noreturn]] void out_of_memory() { throw std::bad_alloc(); }

}  // namespace

#ifdef _WIN32

namespace {

std::wstring widen(const std::string& text) {
  const int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), count);
  return wide;
}

std::string narrow(const wchar_t* wide) {
  const int count = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (count <= 1) return std::string();
  std::string text(static_cast<std::size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), count, nullptr, nullptr);
  text.resize(static_cast<std::size_t>(count) - 1);
  return text;
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

bool identity_of_handle(HANDLE handle, file_identity& id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  id = {info.dwVolumeSerialNumber,
        static_cast<uint64_t>(info.nFileIndexHigh) << 32 | static_cast<uint64_t>(info.nFileIndexLow)};
  return true;
}

bool is_folder(const std::wstring& name) {
  const DWORD attributes = GetFileAttributesW(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The file an open handle stands for, with every link resolved.
std::filesystem::path final_path(HANDLE handle, const std::wstring& fallback) {
  std::wstring name(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()), 0);
  if (length >= name.size()) {
    name.resize(length);
    length = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()), 0);
  }
  if (length == 0 || length >= name.size()) return std::filesystem::path(fallback);
  name.resize(length);
  return std::filesystem::path(name);
}

}  // namespace

std::vector<std::string> program_arguments(int argc, char** argv) {
  // The arguments main() receives are in the console's code page, which cannot
  // hold every character of a path; the UTF-16 command line can.
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  try {
    for (int i = 0; i < count; ++i) arguments.push_back(narrow(wide[i]));
  } catch (...) {
    LocalFree(wide);
    throw;
  }
  LocalFree(wide);
  return arguments;
}

void prepare_console() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

bool identity_of(FILE* fp, file_identity& id) { return identity_of_handle(handle_of(_fileno(fp)), id); }

FILE* open_input(const std::string& path) {
  const std::wstring name = widen(path);
  if (is_folder(name)) return nullptr;
  FILE* fp = _wfopen(name.c_str(), L"rb");
  if (fp == nullptr) {
    if (errno == ENOMEM) out_of_memory();
    return nullptr;
  }
  // Pipes, the console and other devices are no input, however they were named.
  if (GetFileType(handle_of(_fileno(fp))) != FILE_TYPE_DISK || !file_seek(fp, 0, SEEK_CUR)) {
    std::fclose(fp);
    return nullptr;
  }
  return fp;
}

bool file_seek(FILE* fp, int64_t offset, int origin) { return _fseeki64(fp, offset, origin) == 0; }

int64_t file_tell(FILE* fp) {
  const int64_t position = _ftelli64(fp);
  return position < 0 ? -1 : position;
}

bool open_output(const std::string& path, output_file& out) {
  out = output_file{};
  const std::wstring name = widen(path);
  if (is_folder(name)) return false;
  const int flags = _O_WRONLY | _O_BINARY | _O_NOINHERIT;
  int fd = -1;
  errno_t error = _wsopen_s(&fd, name.c_str(), flags | _O_CREAT | _O_EXCL, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  out.created = error == 0;
  if (error == EEXIST) error = _wsopen_s(&fd, name.c_str(), flags, _SH_DENYNO, 0);
  if (error != 0) {
    if (error == ENOMEM) out_of_memory();
    return false;
  }
  const HANDLE handle = handle_of(fd);
  if (GetFileType(handle) != FILE_TYPE_DISK || !identity_of_handle(handle, out.identity)) {
    _close(fd);
    if (out.created) _wremove(name.c_str());
    return false;
  }
  try {
    out.removal_path = final_path(handle, name);
  } catch (const std::bad_alloc&) {
    _close(fd);
    if (out.created) _wremove(name.c_str());
    throw;
  }
  out.fp = _fdopen(fd, "wb");
  if (out.fp == nullptr) {
    const int cause = errno;
    _close(fd);
    if (out.created) _wremove(name.c_str());
    if (cause == ENOMEM) out_of_memory();
    return false;
  }
  return true;
}

bool empty_output(output_file& out) { return _chsize_s(_fileno(out.fp), 0) == 0; }

#else

namespace {

file_identity identity_from(const struct stat& info) {
  return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

// Something other than a regular file has this name. Asked before opening, so
// that a device is never opened at all; the open descriptor is asked again, in
// case the name was replaced in between.
bool names_a_special_file(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

// Opening with O_NONBLOCK keeps a FIFO without a writer (or reader) from
// blocking; on a regular file the flag means nothing, and it is cleared.
constexpr int NEVER_BLOCK = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

void clear_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// The file a symbolic link finally names, checked to be the file just opened.
// Empty when the path is no link; false when it cannot be told.
bool link_target(const std::string& path, const struct stat& opened, std::filesystem::path& target) {
  struct stat link;
  if (lstat(path.c_str(), &link) != 0) return false;
  if (!S_ISLNK(link.st_mode)) return true;
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    if (errno == ENOMEM) out_of_memory();
    return false;
  }
  struct stat info;
  const bool same =
      stat(resolved, &info) == 0 && info.st_dev == opened.st_dev && info.st_ino == opened.st_ino;
  try {
    if (same) target = resolved;
  } catch (...) {
    std::free(resolved);
    throw;
  }
  std::free(resolved);
  return same;
}

}  // namespace

std::vector<std::string> program_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void prepare_console() { std::signal(SIGPIPE, SIG_IGN); }

bool identity_of(FILE* fp, file_identity& id) {
  struct stat info;
  if (fstat(fileno(fp), &info) != 0) return false;
  id = identity_from(info);
  return true;
}

FILE* open_input(const std::string& path) {
  if (names_a_special_file(path)) return nullptr;
  const int fd = open(path.c_str(), O_RDONLY | NEVER_BLOCK);
  if (fd < 0) {
    if (errno == ENOMEM) out_of_memory();
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return nullptr;
  }
  clear_nonblocking(fd);
  FILE* fp = fdopen(fd, "rb");
  if (fp == nullptr) {
    const int cause = errno;
    close(fd);
    if (cause == ENOMEM) out_of_memory();
    return nullptr;
  }
  if (!file_seek(fp, 0, SEEK_CUR)) {
    std::fclose(fp);
    return nullptr;
  }
  return fp;
}

bool file_seek(FILE* fp, int64_t offset, int origin) {
  static_assert(sizeof(off_t) == sizeof(int64_t), "file positions must be 64 bits wide");
  return fseeko(fp, static_cast<off_t>(offset), origin) == 0;
}

int64_t file_tell(FILE* fp) {
  const off_t position = ftello(fp);
  return position < 0 ? -1 : static_cast<int64_t>(position);
}

bool open_output(const std::string& path, output_file& out) {
  out = output_file{};
  if (names_a_special_file(path)) return false;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | NEVER_BLOCK, 0666);
  out.created = fd >= 0;
  // An existing file, or a symbolic link. A link to nothing is refused, as it
  // would create a file somewhere the user did not name.
  if (fd < 0 && errno == EEXIST) fd = open(path.c_str(), O_WRONLY | NEVER_BLOCK);
  if (fd < 0) {
    if (errno == ENOMEM) out_of_memory();
    return false;
  }
  auto give_up = [&] {
    close(fd);
    if (out.created) unlink(path.c_str());
  };
  struct stat info;
  try {
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !link_target(path, info, out.removal_path)) {
      give_up();
      return false;
    }
    if (out.removal_path.empty()) out.removal_path = path;
  } catch (const std::bad_alloc&) {
    give_up();
    throw;
  }
  out.identity = identity_from(info);
  clear_nonblocking(fd);
  out.fp = fdopen(fd, "wb");  // "w" on an open descriptor does not truncate
  if (out.fp == nullptr) {
    const int cause = errno;
    give_up();
    if (cause == ENOMEM) out_of_memory();
    return false;
  }
  return true;
}

bool empty_output(output_file& out) { return ftruncate(fileno(out.fp), 0) == 0; }

#endif

void discard_output(output_file& out) {
  if (out.fp != nullptr) std::fclose(out.fp);
  out.fp = nullptr;
  std::error_code ignored;
  if (!out.removal_path.empty()) std::filesystem::remove(out.removal_path, ignored);
}

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
void* allocate_large(std::size_t bytes) {
  return ::operator new (bytes, std::align_val_t{LARGE_ALIGNMENT}, std::nothrow);
}

void free_large(void* block, std::size_t) { ::operator delete (block, std::align_val_t{LARGE_ALIGNMENT}); }

#endif
