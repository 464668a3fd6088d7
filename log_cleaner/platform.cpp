// The two implementations of platform.h: Windows, and every POSIX system.
#include "platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// What a signal handler must reach: the C library calls it with the signal's
// number alone, so the output being written can reach it only through a
// variable of the program's own. logsweep's one global; the handler reads it
// and nothing else of the program's state. (A lock-free atomic may be used
// in a signal handler, and on Windows the handler runs in a thread of its own.)
struct guarded_output {
  std::atomic<output_file*> output{nullptr};
};
static_assert(std::atomic<output_file*>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
guarded_output g_guarded_output;

}  // namespace

#if defined(_WIN32)

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// windows.h first: these need its types.
#include <shellapi.h>
#include <winternl.h>

#include <cstdlib>

namespace {

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring converted(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(), size);
  return converted;
}

std::string narrow(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);  // with the NUL
  if (size <= 1) return {};
  std::string converted(static_cast<std::size_t>(size - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, converted.data(), size, nullptr, nullptr);
  return converted;
}

HANDLE handle_of(file_descriptor file) { return reinterpret_cast<HANDLE>(_get_osfhandle(file)); }

// A handle that can only be asked about the file (folders too), or
// INVALID_HANDLE_VALUE. Asking needs no access right, so no sharing mode
// that another program chose stands in the way.
HANDLE open_to_ask(const std::wstring& path) {
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The path of the file itself, past any symbolic link, or "" (the name asked
// for needs no access right to the file).
std::wstring final_path(HANDLE handle) {
  std::wstring target(MAX_PATH, L'\0');
  DWORD size = GetFinalPathNameByHandleW(handle, target.data(), static_cast<DWORD>(target.size()), 0);
  if (size >= target.size()) {
    target.resize(size);
    size = GetFinalPathNameByHandleW(handle, target.data(), static_cast<DWORD>(target.size()), 0);
  }
  if (size == 0 || size >= target.size()) return {};
  target.resize(size);
  return target;
}

// A file's index on its volume, and the volume's serial number, asked in
// the two ways that need no right to read the file's attributes (a handle
// that cmd.exe opens for > or >> has none). Under wine the handle of a Unix
// shell's redirection gives its index, but no volume.
void identify_without_rights(HANDLE handle, file_identity& identity) {
  IO_STATUS_BLOCK status{};
  FILE_INTERNAL_INFORMATION internal{};
  if (NtQueryInformationFile(handle, &status, &internal, sizeof internal, FileInternalInformation) != 0)
    return;
  identity.kind = FILE_REGULAR;
  identity.index = static_cast<std::uint64_t>(internal.IndexNumber.QuadPart);
  identity.volume_known = false;
  // Room for a volume label after the fixed part, which holds the serial number.
  alignas(FILE_FS_VOLUME_INFORMATION) unsigned char
      buffer[sizeof(FILE_FS_VOLUME_INFORMATION) + 64 * sizeof(WCHAR)];
  constexpr NTSTATUS LABEL_CUT = static_cast<NTSTATUS>(0x80000005);  // STATUS_BUFFER_OVERFLOW
  const NTSTATUS asked =
      NtQueryVolumeInformationFile(handle, &status, buffer, sizeof buffer, FileFsVolumeInformation);
  if (asked == 0 || asked == LABEL_CUT) {
    FILE_FS_VOLUME_INFORMATION volume;
    std::memcpy(&volume, buffer, sizeof volume);
    identity.volume = volume.VolumeSerialNumber;
    identity.volume_known = true;
  }
}

// st_ino is always 0 on Windows: a file is known by the serial number of its
// volume and its index on that volume.
file_identity identify_handle(HANDLE handle) {
  file_identity identity;
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return identity;
  identity.kind = FILE_OTHER;
  if (GetFileType(handle) != FILE_TYPE_DISK) return identity;
  identity.kind = FILE_UNIDENTIFIED;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    identify_without_rights(handle, identity);
    return identity;
  }
  identity.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FILE_FOLDER : FILE_REGULAR;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return identity;
}

// The C runtime's error number for a system error of opening a file, as the
// runtime's own open would have set it.
int errno_of(DWORD error) {
  struct error_pair {
    DWORD system;
    int runtime;
  };
  constexpr error_pair PAIRS[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT},    {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_INVALID_NAME, ENOENT},      {ERROR_BAD_PATHNAME, ENOENT},
      {ERROR_ACCESS_DENIED, EACCES},     {ERROR_SHARING_VIOLATION, EACCES},
      {ERROR_LOCK_VIOLATION, EACCES},    {ERROR_WRITE_PROTECT, EACCES},
      {ERROR_DISK_FULL, ENOSPC},         {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
      {ERROR_NOT_ENOUGH_MEMORY, ENOMEM}, {ERROR_OUTOFMEMORY, ENOMEM},
  };
  for (const error_pair& pair : PAIRS) {
    if (pair.system == error) return pair.runtime;
  }
  return EINVAL;
}

// A bad descriptor (a stream closed by the parent) is a failed call, not the
// end of the program.
void ignore_invalid_parameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, std::uintptr_t) {}

// Empties a file through its handle, wherever its position is.
bool empty_handle(HANDLE handle) {
  LARGE_INTEGER start{};
  return SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
}

BOOL WINAPI on_console_event(DWORD) {
  remove_guarded_output();
  return FALSE;  // the next handler, the system's, ends the program as Ctrl-C does
}

}  // namespace

console_state prepare_console() {
  console_state console;
  _set_invalid_parameter_handler(ignore_invalid_parameter);
  for (file_descriptor stream = 0; stream <= STANDARD_ERROR; ++stream) {
    if (handle_of(stream) != INVALID_HANDLE_VALUE) continue;
    if (stream == STANDARD_OUTPUT) console.output_was_closed = true;
    const int null_device = _wopen(L"NUL", stream == 0 ? _O_RDONLY : _O_WRONLY);
    if (null_device >= 0 && null_device != stream) {
      _dup2(null_device, stream);
      _close(null_device);
    }
  }
  _setmode(STANDARD_OUTPUT, _O_BINARY);
  _setmode(STANDARD_ERROR, _O_BINARY);
  console.output.fd = STANDARD_OUTPUT;
  console.error.fd = STANDARD_ERROR;
  for (standard_stream* stream : {&console.output, &console.error}) {
    stream->identity = identify(stream->fd);
    park_stream(*stream);
  }
  DWORD mode = 0;
  if (GetConsoleMode(handle_of(STANDARD_OUTPUT), &mode)) {
    console.saved_code_page = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
  }
  return console;
}

void park_stream(standard_stream& stream) {
  if (stream.parked != NO_FILE ||
      (stream.identity.kind != FILE_REGULAR && stream.identity.kind != FILE_UNIDENTIFIED)) {
    return;
  }
  stream.parked = _dup(stream.fd);
  const int null_device = _wopen(L"NUL", _O_WRONLY | _O_BINARY);
  if (stream.parked < 0 || null_device < 0 || _dup2(null_device, stream.fd) != 0) {
    // Without a descriptor to spare the stream stays as it is: closing it
    // would let the next file opened take its number.
    if (stream.parked >= 0) _close(stream.parked);
    stream.parked = NO_FILE;
  }
  if (null_device >= 0) _close(null_device);
}

void release_stream(standard_stream& stream) {
  if (stream.parked == NO_FILE) return;
  _dup2(stream.parked, stream.fd);
  _close(stream.parked);
  stream.parked = NO_FILE;
}

void restore_console(const console_state& console) {
  if (console.saved_code_page != 0) SetConsoleOutputCP(console.saved_code_page);
}

void end_quietly_on_broken_pipe(const console_state&) {}

std::vector<std::string> program_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** const wide_arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide_arguments == nullptr) return {argv, argv + argc};
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(narrow(wide_arguments[i]));
  LocalFree(wide_arguments);
  return arguments;
}

file_descriptor open_input(const std::string& path) {
  const file_descriptor file = _wopen(wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (file == NO_FILE || identify(file).kind != FILE_FOLDER) return file;
  _close(file);
  errno = EISDIR;
  return NO_FILE;
}

bool is_terminal(file_descriptor file) {
  DWORD mode = 0;
  return GetConsoleMode(handle_of(file), &mode) != 0;
}

bool open_output(const std::string& path, output_file& out) {
  const std::wstring name = wide(path);
  // Opened here rather than by the C runtime, to share the right to delete:
  // an interrupted output can then be removed while it is still open.
  const auto open_with = [&](DWORD disposition) {
    return CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE handle = open_with(CREATE_NEW);
  out.created = handle != INVALID_HANDLE_VALUE;
  if (!out.created && GetLastError() == ERROR_FILE_EXISTS) handle = open_with(OPEN_EXISTING);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = errno_of(GetLastError());
    return false;
  }
  const auto give_up = [&] {
    CloseHandle(handle);
    if (out.created) DeleteFileW(name.c_str());
    out.created = false;
  };
  out.identity = identify_handle(handle);
  if (out.identity.kind == FILE_REGULAR) {
    try {
      out.removal_path = final_path(handle);
    } catch (const std::bad_alloc&) {
      give_up();
      throw;
    }
  }
  out.file = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), 0);
  if (out.file == NO_FILE) {
    give_up();
    return false;
  }
  _setmode(out.file, _O_BINARY);
  out.removable = out.created && !out.removal_path.empty();
  return true;
}

bool empty_output(output_file& out) {
  if (out.removal_path.empty()) return true;  // a device or a pipe
  out.removable = true;
  if (empty_handle(handle_of(out.file))) return true;
  errno = EACCES;
  return false;
}

bool close_output(output_file& out) {
  const bool closed = _close(out.file) == 0;
  out.file = NO_FILE;
  if (closed) out.removable = false;
  return closed;
}

void discard_output(output_file& out) {
  if (!out.removable.exchange(false)) {
    if (out.file != NO_FILE) close_output(out);
    return;
  }
  const HANDLE handle = CreateFileW(out.removal_path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (out.file != NO_FILE) close_output(out);
  if (handle == INVALID_HANDLE_VALUE) return;
  const bool same = same_file(identify_handle(handle), out.identity);
  if (same) empty_handle(handle);
  CloseHandle(handle);
  if (same) DeleteFileW(out.removal_path.c_str());
}

void guard_output(output_file& out) {
  g_guarded_output.output.store(&out);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void release_output_guard() { g_guarded_output.output.store(nullptr); }

void remove_guarded_output() {
  const output_file* out = g_guarded_output.output.exchange(nullptr);
  if (out == nullptr || !out->removable.load()) return;
  empty_handle(handle_of(out->file));
  DeleteFileW(out->removal_path.c_str());
}

long long read_some(file_descriptor file, char* buffer, std::size_t size) {
  return _read(file, buffer, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}

long long write_some(file_descriptor file, const char* bytes, std::size_t size) {
  return _write(file, bytes, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}

file_identity identify(file_descriptor file) { return identify_handle(handle_of(file)); }

file_identity identify(const std::string& path) {
  const HANDLE handle = open_to_ask(wide(path));
  const file_identity identity = identify_handle(handle);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return identity;
}

#else

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace {

file_identity identify_stat(const struct stat& info) {
  file_identity identity;
  identity.kind = S_ISREG(info.st_mode) ? FILE_REGULAR : S_ISDIR(info.st_mode) ? FILE_FOLDER : FILE_OTHER;
  identity.volume = static_cast<std::uint64_t>(info.st_dev);
  identity.index = static_cast<std::uint64_t>(info.st_ino);
  return identity;
}

// Opening with O_NONBLOCK never waits: a FIFO that no program reads fails to
// open for writing (ENXIO); a serial line opens without its carrier. Writes
// then wait as usual.
file_descriptor open_without_waiting(const std::string& path, int flags) {
  const int file = open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
  if (file < 0) return NO_FILE;
  const int status = fcntl(file, F_GETFL);
  if (status == -1 || fcntl(file, F_SETFL, status & ~O_NONBLOCK) == -1) {
    const int error = errno;
    close(file);
    errno = error;
    return NO_FILE;
  }
  return file;
}

// Every signal whose default action ends the program. SIGPIPE and SIGXFSZ are
// ignored while an output file is written: they become failed writes that
// the program reports.
constexpr int GUARDED_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1,
                                   SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF};

sigset_t guarded_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int number : GUARDED_SIGNALS) sigaddset(&set, number);
  return set;
}

// Every guarded signal is held back while this runs, so a second one cannot
// cut it short.
extern "C" void on_guarded_signal(int signal_number) {
  remove_guarded_output();
  // SA_RESETHAND gave the signal its default action back, and it is held
  // until this handler returns: then it ends the program as it would have.
  raise(signal_number);
}

// The name to remove an output by, found before the file is made: the path
// itself, or the regular file that a symbolic link there finally names. (A
// link to a pipe or a device names nothing to remove; a link to nothing is
// refused when it is opened.)
void removal_path_for(const std::string& path, std::filesystem::path& removal) {
  struct stat link {};
  struct stat target {};
  char* const resolved = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
                                 stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode)
                             ? realpath(path.c_str(), nullptr)
                             : nullptr;
  try {
    removal = resolved != nullptr ? resolved : path.c_str();
  } catch (...) {
    std::free(resolved);
    throw;
  }
  std::free(resolved);
}

}  // namespace

console_state prepare_console() {
  console_state console;
  for (file_descriptor stream = 0; stream <= STANDARD_ERROR; ++stream) {
    if (fcntl(stream, F_GETFD) != -1 || errno != EBADF) continue;
    if (stream == STANDARD_OUTPUT) console.output_was_closed = true;
    // The lowest free descriptor: this one, as the ones below are open.
    const int null_device = open("/dev/null", stream == 0 ? O_RDONLY : O_WRONLY);
    if (null_device >= 0 && null_device != stream) {
      dup2(null_device, stream);
      close(null_device);
    }
  }
  console.output.fd = STANDARD_OUTPUT;
  console.error.fd = STANDARD_ERROR;
  for (standard_stream* stream : {&console.output, &console.error}) {
    stream->identity = identify(stream->fd);
    park_stream(*stream);
  }
  struct sigaction before {};
  console.broken_pipe_ignored = sigaction(SIGPIPE, nullptr, &before) == 0 && before.sa_handler == SIG_IGN;
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  return console;
}

void park_stream(standard_stream& stream) {
  if (stream.parked != NO_FILE || stream.identity.kind != FILE_REGULAR) return;
  stream.parked = fcntl(stream.fd, F_DUPFD_CLOEXEC, 3);
  const int null_device = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (stream.parked < 0 || null_device < 0 || dup2(null_device, stream.fd) < 0) {
    // Without a descriptor to spare the stream stays as it is: closing it
    // would let the next file opened take its number.
    if (stream.parked >= 0) close(stream.parked);
    stream.parked = NO_FILE;
  }
  if (null_device >= 0) close(null_device);
}

void release_stream(standard_stream& stream) {
  if (stream.parked == NO_FILE) return;
  dup2(stream.parked, stream.fd);
  close(stream.parked);
  stream.parked = NO_FILE;
}

void restore_console(const console_state&) {}

void end_quietly_on_broken_pipe(const console_state& console) {
  if (!console.broken_pipe_ignored) std::signal(SIGPIPE, SIG_DFL);
}

std::vector<std::string> program_arguments(int argc, char** argv) { return {argv, argv + argc}; }

file_descriptor open_input(const std::string& path) {
  int file;
  do {
    file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (file < 0 && errno == EINTR);
  if (file < 0 || identify(file).kind != FILE_FOLDER) return file;
  close(file);
  errno = EISDIR;
  return NO_FILE;
}

bool open_output(const std::string& path, output_file& out) {
  std::filesystem::path removal;
  removal_path_for(path, removal);
  // A signal between making the file and marking it removable would leave it
  // behind.
  const sigset_t guarded = guarded_signals();
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &guarded, &before);
  const auto let_signals_through = [&] {
    const int error = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = error;
  };
  // A new file is made here and can be nothing else; an existing name may be
  // a FIFO or a device, which is opened without waiting.
  file_descriptor file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  out.created = file != NO_FILE;
  if (!out.created && errno == EEXIST) file = open_without_waiting(path, O_WRONLY);
  struct stat info {};
  if (file != NO_FILE && (fstat(file, &info) != 0 ||
                          !(S_ISREG(info.st_mode) || S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)))) {
    close(file);
    file = NO_FILE;
    errno = ENXIO;
  }
  if (file == NO_FILE) {
    out.created = false;
    let_signals_through();
    return false;
  }
  out.file = file;
  out.identity = identify_stat(info);
  if (S_ISREG(info.st_mode)) out.removal_path.swap(removal);
  out.removable = out.created;
  let_signals_through();
  return true;
}

bool empty_output(output_file& out) {
  if (out.removal_path.empty()) return true;  // a device or a pipe
  out.removable = true;
  return ftruncate(out.file, 0) == 0;
}

bool close_output(output_file& out) {
  const bool closed = close(out.file) == 0;
  out.file = NO_FILE;
  if (closed) out.removable = false;
  return closed;
}

void discard_output(output_file& out) {
  if (!out.removable.exchange(false)) {
    if (out.file != NO_FILE) close_output(out);
    return;
  }
  struct stat info {};
  const bool same =
      lstat(out.removal_path.c_str(), &info) == 0 && same_file(identify_stat(info), out.identity);
  if (same && out.file != NO_FILE && ftruncate(out.file, 0) != 0) {
    // Removed all the same below.
  }
  if (out.file != NO_FILE) close_output(out);
  if (!same) return;
  if (truncate(out.removal_path.c_str(), 0) != 0) {
    // Already empty, or the folder is read-only: removed all the same below.
  }
  unlink(out.removal_path.c_str());
}

void guard_output(output_file& out) {
  g_guarded_output.output.store(&out);
  struct sigaction action {};
  action.sa_handler = on_guarded_signal;
  action.sa_flags = SA_RESETHAND;
  action.sa_mask = guarded_signals();
  for (const int signal_number : GUARDED_SIGNALS) {
    struct sigaction previous {};
    if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    sigaction(signal_number, &action, nullptr);
  }
}

void release_output_guard() { g_guarded_output.output.store(nullptr); }

void remove_guarded_output() {
  const output_file* out = g_guarded_output.output.exchange(nullptr);
  if (out == nullptr || !out->removable.load()) return;
  if (ftruncate(out->file, 0) != 0) {
    // Removed all the same below; another hard link would keep the text.
  }
  unlink(out->removal_path.c_str());
}

bool is_terminal(file_descriptor file) { return isatty(file) == 1; }

long long read_some(file_descriptor file, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = read(file, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

long long write_some(file_descriptor file, const char* bytes, std::size_t size) {
  for (;;) {
    const ssize_t n = write(file, bytes, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

file_identity identify(file_descriptor file) {
  struct stat info {};
  return fstat(file, &info) == 0 ? identify_stat(info) : file_identity{};
}

file_identity identify(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? identify_stat(info) : file_identity{};
}

#endif

bool same_file(const file_identity& a, const file_identity& b) {
  const auto may_be_regular = [](file_kind kind) {
    return kind == FILE_REGULAR || kind == FILE_UNIDENTIFIED;
  };
  if (!may_be_regular(a.kind) || !may_be_regular(b.kind)) return false;
  if (a.kind == FILE_UNIDENTIFIED || b.kind == FILE_UNIDENTIFIED) return true;
  // Known by its index alone, a file may be the one of that index on any volume.
  return a.index == b.index && (a.volume == b.volume || !a.volume_known || !b.volume_known);
}

void say_system_error(file_descriptor stream, const std::string& path, int error) {
  if (stream == NO_FILE) return;
  const std::string line = "logsweep: " + path + ": " + std::strerror(error) + MESSAGE_LINE_END;
  write_some(stream, line.data(), line.size());
}
