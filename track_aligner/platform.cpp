#include "platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
// windows.h first: shellapi.h and winternl.h need its types.
#include <shellapi.h>
#include <winternl.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace {

[[noreturn]] void out_of_memory() { throw std::bad_alloc(); }

// What a signal handler must reach: the output being written. A C signal
// handler (and a Windows console handler) is given nothing but the signal's
// number, so this record is global, the program's only one, forced by that
// interface. Its fields are lock-free atomics or set before they are needed.
struct interruption {
  std::atomic<const output_file*> output{nullptr};
#ifdef _WIN32
  HANDLE writer = nullptr;  // the thread that writes the outputs
  HANDLE stream = INVALID_HANDLE_VALUE;
  HANDLE held = INVALID_HANDLE_VALUE;
  std::atomic<unsigned> code_page{0};
#endif
};
static_assert(std::atomic<const output_file*>::is_always_lock_free, "read in a signal handler");
interruption g_interruption;

}  // namespace

bool same_file(const file_identity& a, const file_identity& b) {
  return a.index == b.index && (a.volume == b.volume || !a.volume_known || !b.volume_known);
}

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

using query_file = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
using query_volume = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FS_INFORMATION_CLASS);

template <class function>
function from_ntdll(const char* name) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr ? nullptr
                          : reinterpret_cast<function>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

// The file index and the volume's serial number, through the two queries that
// need no access right: cmd.exe's ">" and ">>" give a handle that may only
// write, on which GetFileInformationByHandle fails for want of the right to
// read attributes.
bool identify_handle(HANDLE handle, file_identity& id) {
  static const query_file query_index = from_ntdll<query_file>("NtQueryInformationFile");
  static const query_volume query_serial = from_ntdll<query_volume>("NtQueryVolumeInformationFile");
  if (query_index == nullptr || query_serial == nullptr) return false;
  IO_STATUS_BLOCK io;
  FILE_INTERNAL_INFORMATION internal;
  if (query_index(handle, &io, &internal, sizeof internal, FileInternalInformation) < 0) return false;
  id.index = static_cast<uint64_t>(internal.IndexNumber.QuadPart);
  // Room for the longest volume label, 32 characters.
  struct {
    FILE_FS_VOLUME_INFORMATION info;
    WCHAR label[32];
  } volume;
  const NTSTATUS status = query_serial(handle, &io, &volume, sizeof volume, FileFsVolumeInformation);
  id.volume_known = status >= 0;
  id.volume = id.volume_known ? volume.info.VolumeSerialNumber : 0;
  return true;
}

file_kind identify_handle_kind(HANDLE handle, file_identity& id) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr || GetFileType(handle) != FILE_TYPE_DISK) {
    return file_kind::other;
  }
  if (identify_handle(handle, id)) return file_kind::regular;
  errno = 0;
  return file_kind::unknown;
}

// A path the system could not look up: missing, or unknown with errno set.
file_kind lookup_failed(DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return file_kind::missing;
  errno = error == ERROR_FILENAME_EXCED_RANGE ? ENAMETOOLONG : error == ERROR_ACCESS_DENIED ? EACCES : EINVAL;
  return file_kind::unknown;
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

// A bad descriptor (standard output closed by the parent) is a failed call,
// not the end of the program.
void ignore_invalid_parameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, std::uintptr_t) {}

// Runs on a thread of its own. The writing thread is stopped first, so that
// no byte lands after the file is emptied; the process then ends as Ctrl-C
// ends it, without the C runtime's exit, which could wait for a lock that the
// stopped thread holds.
BOOL WINAPI on_console_event(DWORD) {
  const unsigned page = g_interruption.code_page.load();
  if (page != 0) SetConsoleOutputCP(page);
  const output_file* out = g_interruption.output.exchange(nullptr);
  if (out == nullptr) return FALSE;
  SuspendThread(g_interruption.writer);
  LARGE_INTEGER start{};
  SetFilePointerEx(g_interruption.held, start, nullptr, FILE_BEGIN);
  SetEndOfFile(g_interruption.held);
  CloseHandle(g_interruption.held);
  CloseHandle(g_interruption.stream);
  DeleteFileW(out->removal_path.c_str());
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
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

console_state prepare_console() {
  console_state state;
  _set_invalid_parameter_handler(ignore_invalid_parameter);
  for (int fd = 0; fd <= 2; ++fd) {
    const intptr_t handle = _get_osfhandle(fd);
    if (handle != -1 && handle != -2) continue;  // -2: the runtime's mark for no handle
    const int opened = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (opened >= 0 && opened != fd) {
      _dup2(opened, fd);
      _close(opened);
    }
    if (fd == 1) state.output_closed = true;
  }
  _setmode(1, _O_BINARY);
  _setmode(2, _O_BINARY);
  // The table's names are UTF-8; a console shows its own code page unless told.
  DWORD mode = 0;
  if (GetConsoleMode(handle_of(1), &mode)) {
    state.code_page = GetConsoleOutputCP();
    if (state.code_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
      g_interruption.code_page.store(state.code_page);
    } else {
      state.code_page = 0;
    }
  }
  SetConsoleCtrlHandler(on_console_event, TRUE);
  return state;
}

void restore_console(const console_state& state) {
  if (state.code_page == 0) return;
  g_interruption.code_page.store(0);
  SetConsoleOutputCP(state.code_page);
}

file_kind identify(FILE* fp, file_identity& id) { return identify_handle_kind(handle_of(_fileno(fp)), id); }

file_kind identify(const std::string& path, file_identity& id) {
  const std::wstring name = widen(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return lookup_failed(GetLastError());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return file_kind::folder;
  const HANDLE handle = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return lookup_failed(GetLastError());
  const file_kind kind = identify_handle_kind(handle, id);
  CloseHandle(handle);
  return kind;
}

bool same_path(const std::string& a, const std::string& b) {
  // Made absolute first: weakly_canonical leaves a relative path with no
  // existing part as it stands, ".\\x" and "x" apart.
  std::error_code ignored;
  const auto full = [&](const std::string& path) {
    return std::filesystem::weakly_canonical(std::filesystem::absolute(widen(path), ignored), ignored)
        .wstring();
  };
  const std::wstring one = full(a);
  const std::wstring other = full(b);
  // Names on Windows volumes differ only if they differ beyond case.
  return CompareStringOrdinal(one.c_str(), -1, other.c_str(), -1, TRUE) == CSTR_EQUAL;
}

FILE* open_input(const std::string& path) {
  const std::wstring name = widen(path);
  if (is_folder(name)) {
    errno = EISDIR;
    return nullptr;
  }
  FILE* fp = _wfopen(name.c_str(), L"rb");
  if (fp == nullptr) {
    if (errno == ENOMEM) out_of_memory();
    return nullptr;
  }
  // Pipes, the console and other devices are no input, however they were named.
  if (GetFileType(handle_of(_fileno(fp))) != FILE_TYPE_DISK || !file_seek(fp, 0, SEEK_CUR)) {
    std::fclose(fp);
    errno = 0;
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
  if (is_folder(name)) {
    errno = EISDIR;
    return false;
  }
  const int flags = _O_WRONLY | _O_BINARY | _O_NOINHERIT;
  int fd = -1;
  errno_t error = _wsopen_s(&fd, name.c_str(), flags | _O_CREAT | _O_EXCL, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  out.created = error == 0;
  if (error == EEXIST) error = _wsopen_s(&fd, name.c_str(), flags, _SH_DENYNO, 0);
  if (error != 0) {
    if (error == ENOMEM) out_of_memory();
    errno = error;
    return false;
  }
  auto give_up = [&](int cause) {
    _close(fd);
    if (out.held >= 0) _close(out.held);
    out.held = -1;
    if (out.created) _wremove(name.c_str());
    errno = cause;
  };
  const HANDLE handle = handle_of(fd);
  if (GetFileType(handle) != FILE_TYPE_DISK || !identify_handle(handle, out.identity)) {
    give_up(0);
    return false;
  }
  out.held = _dup(fd);
  if (out.held < 0) {
    give_up(errno);
    return false;
  }
  try {
    out.removal_path = final_path(handle, name);
  } catch (const std::bad_alloc&) {
    give_up(ENOMEM);
    throw;
  }
  out.fp = _fdopen(fd, "wb");
  if (out.fp == nullptr) {
    const int cause = errno;
    give_up(cause);
    if (cause == ENOMEM) out_of_memory();
    return false;
  }
  return true;
}

bool empty_output(output_file& out) { return _chsize_s(_fileno(out.fp), 0) == 0; }

namespace {

void empty_held(output_file& out) {
  if (out.held < 0) return;
  _chsize_s(out.held, 0);
  _close(out.held);
  out.held = -1;
}

void close_held(output_file& out) {
  if (out.held >= 0) _close(out.held);
  out.held = -1;
}

void let_signals_through(int) {}

}  // namespace

void guard_output(const output_file& out) {
  if (g_interruption.writer == nullptr) {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_interruption.writer,
                    THREAD_SUSPEND_RESUME, FALSE, 0);
  }
  g_interruption.stream = handle_of(_fileno(out.fp));
  g_interruption.held = handle_of(out.held);
  g_interruption.output.store(&out);
}

#else

namespace {

// SIGINT, SIGTERM and SIGHUP as bits of output_file::signals_held.
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

file_kind kind_of(const struct stat& info, file_identity& id) {
  if (S_ISDIR(info.st_mode)) return file_kind::folder;
  if (!S_ISREG(info.st_mode)) return file_kind::other;
  id = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), true};
  return file_kind::regular;
}

// Something other than a regular file has this name. Asked before opening, so
// that a device is never opened at all; the open descriptor is asked again, in
// case the name was replaced in between. errno tells a folder (EISDIR).
bool names_a_special_file(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return false;
  errno = S_ISDIR(info.st_mode) ? EISDIR : 0;
  return true;
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
  if (!same) errno = 0;
  return same;
}

// Holds back the ending signals that are not held back already; returns them
// as bits.
int hold_signals() {
  sigset_t ending;
  sigset_t before;
  sigemptyset(&ending);
  for (int number : ENDING_SIGNALS) sigaddset(&ending, number);
  if (pthread_sigmask(SIG_BLOCK, &ending, &before) != 0) return 0;
  int held = 0;
  for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
    if (sigismember(&before, ENDING_SIGNALS[i]) == 0) held |= 1 << i;
  }
  return held;
}

void let_signals_through(int held) {
  sigset_t waiting;
  sigemptyset(&waiting);
  for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
    if ((held & (1 << i)) != 0) sigaddset(&waiting, ENDING_SIGNALS[i]);
  }
  const int saved = errno;
  pthread_sigmask(SIG_UNBLOCK, &waiting, nullptr);
  errno = saved;
}

// Only calls that are safe in a signal handler: the output is emptied and
// unlinked, then the signal is raised again with its default action, which
// ends the program once the handler returns.
void on_ending_signal(int number) {
  const output_file* out = g_interruption.output.exchange(nullptr);
  if (out != nullptr) {
    if (ftruncate(out->held, 0) != 0) {
      // Removed all the same.
    }
    unlink(out->removal_path.c_str());
  }
  std::signal(number, SIG_DFL);
  std::raise(number);
}

void empty_held(output_file& out) {
  if (out.held < 0) return;
  if (ftruncate(out.held, 0) != 0) {
    // Removed all the same.
  }
  close(out.held);
  out.held = -1;
}

void close_held(output_file& out) {
  if (out.held >= 0) close(out.held);
  out.held = -1;
}

}  // namespace

std::vector<std::string> program_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

console_state prepare_console() {
  console_state state;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);  // the lowest free number: fd
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
    if (fd == 1) state.output_closed = true;
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  for (int number : ENDING_SIGNALS) {
    // A signal that the caller ignores (SIGINT of a background job) stays ignored.
    struct sigaction before;
    if (sigaction(number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
      std::signal(number, on_ending_signal);
    }
  }
  return state;
}

void restore_console(const console_state&) {}

file_kind identify(FILE* fp, file_identity& id) {
  struct stat info;
  if (fstat(fileno(fp), &info) != 0) return file_kind::unknown;
  return kind_of(info, id);
}

file_kind identify(const std::string& path, file_identity& id) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) return kind_of(info, id);
  return errno == ENOENT ? file_kind::missing : file_kind::unknown;
}

bool same_path(const std::string& a, const std::string& b) {
  // Made absolute first: weakly_canonical leaves a relative path with no
  // existing part as it stands, "./x" and "x" apart.
  std::error_code ignored;
  return std::filesystem::weakly_canonical(std::filesystem::absolute(a, ignored), ignored) ==
         std::filesystem::weakly_canonical(std::filesystem::absolute(b, ignored), ignored);
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
    errno = 0;
    return nullptr;
  }
  clear_nonblocking(fd);
  FILE* fp = fdopen(fd, "rb");
  if (fp == nullptr) {
    const int cause = errno;
    close(fd);
    if (cause == ENOMEM) out_of_memory();
    errno = cause;
    return nullptr;
  }
  if (!file_seek(fp, 0, SEEK_CUR)) {
    const int cause = errno;
    std::fclose(fp);
    errno = cause;
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
  // A signal between creating the file and guarding it would leave it behind.
  out.signals_held = hold_signals();
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | NEVER_BLOCK, 0666);
  out.created = fd >= 0;
  // An existing file, or a symbolic link. A link to nothing is refused, as it
  // would create a file somewhere the user did not name.
  if (fd < 0 && errno == EEXIST) fd = open(path.c_str(), O_WRONLY | NEVER_BLOCK);
  if (fd < 0) {
    const int cause = errno;
    let_signals_through(out.signals_held);
    if (cause == ENOMEM) out_of_memory();
    errno = cause;
    return false;
  }
  auto give_up = [&](int cause) {
    close(fd);
    close_held(out);
    if (out.created) unlink(path.c_str());
    let_signals_through(out.signals_held);
    errno = cause;
  };
  struct stat info;
  try {
    if (fstat(fd, &info) != 0) {
      give_up(errno);
      return false;
    }
    if (!S_ISREG(info.st_mode) || !link_target(path, info, out.removal_path)) {
      give_up(S_ISREG(info.st_mode) ? errno : 0);
      return false;
    }
    if (out.removal_path.empty()) out.removal_path = path;
  } catch (const std::bad_alloc&) {
    give_up(ENOMEM);
    throw;
  }
  out.identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), true};
  out.held = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (out.held < 0) {
    give_up(errno);
    return false;
  }
  clear_nonblocking(fd);
  out.fp = fdopen(fd, "wb");  // "w" on an open descriptor does not truncate
  if (out.fp == nullptr) {
    const int cause = errno;
    give_up(cause);
    if (cause == ENOMEM) out_of_memory();
    return false;
  }
  return true;
}

bool empty_output(output_file& out) { return ftruncate(fileno(out.fp), 0) == 0; }

void guard_output(const output_file& out) {
  g_interruption.output.store(&out);
  let_signals_through(out.signals_held);
}

#endif

void release_output_guard() { g_interruption.output.store(nullptr); }

bool close_output(output_file& out) {
  bool closed = std::fflush(out.fp) == 0;
  int cause = errno;
  if (std::fclose(out.fp) != 0 && closed) {
    closed = false;
    cause = errno;
  }
  out.fp = nullptr;
  // A failed output keeps its second descriptor until discard_output empties it.
  if (closed) close_held(out);
  let_signals_through(out.signals_held);
  errno = cause;
  return closed;
}

void discard_output(output_file& out) {
  if (out.fp != nullptr) std::fclose(out.fp);
  out.fp = nullptr;
  empty_held(out);
  let_signals_through(out.signals_held);
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
