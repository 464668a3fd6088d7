// The two implementations of platform.h: Windows, and every POSIX system.
#if !defined(_WIN32)
// 64-bit file sizes and positions on 32-bit systems too: a log may pass 2 GB.
#define _FILE_OFFSET_BITS 64
#endif

#include "platform.h"

#include <algorithm>
#include <climits>

namespace {

file_descriptor regular_or_none(file_descriptor file) {
  if (file == NO_FILE || identify(file).kind == FILE_REGULAR) return file;
  close_file(file);
  return NO_FILE;
}

}  // namespace

#if defined(_WIN32)

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>

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

// st_ino is always 0 on Windows: a file is known by the serial number of its
// volume and its index on that volume.
file_identity identify_handle(HANDLE handle) {
  file_identity identity;
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return identity;
  identity.kind = FILE_OTHER;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)) return identity;
  identity.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FILE_FOLDER : FILE_REGULAR;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return identity;
}

// A handle that can only be asked about the file (folders too), or
// INVALID_HANDLE_VALUE.
HANDLE open_to_ask(const std::string& path) {
  return CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// A bad descriptor (standard output closed by the parent) is a failed call,
// not the end of the program.
void ignore_invalid_parameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, std::uintptr_t) {}

}  // namespace

void prepare_console() {
  _set_invalid_parameter_handler(ignore_invalid_parameter);
  _setmode(STANDARD_OUTPUT, _O_BINARY);
  _setmode(STANDARD_ERROR, _O_BINARY);
}

std::vector<std::string> program_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** const wide_arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide_arguments == nullptr) return {argv, argv + argc};
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(narrow(wide_arguments[i]));
  LocalFree(wide_arguments);
  return arguments;
}

file_descriptor open_for_reading(const std::string& path) {
  return regular_or_none(_wopen(wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT));
}

file_descriptor open_for_writing(const std::string& path) {
  return _wopen(wide(path).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                _S_IREAD | _S_IWRITE);
}

long long read_some(file_descriptor file, char* buffer, std::size_t size) {
  return _read(file, buffer, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}

long long write_some(file_descriptor file, const char* bytes, std::size_t size) {
  return _write(file, bytes, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}

bool close_file(file_descriptor file) { return _close(file) == 0; }

file_identity identify(file_descriptor file) {
  return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(file)));
}

file_identity identify(const std::string& path) {
  const HANDLE handle = open_to_ask(path);
  const file_identity identity = identify_handle(handle);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return identity;
}

bool remove_written_file(const std::string& path, const file_identity& written) {
  const HANDLE handle = open_to_ask(path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool same = same_regular_file(identify_handle(handle), written);
  // The final path is that of the file itself, past any symbolic link.
  std::wstring target(MAX_PATH, L'\0');
  DWORD size = GetFinalPathNameByHandleW(handle, target.data(), static_cast<DWORD>(target.size()), 0);
  if (size >= target.size()) {
    target.resize(size);
    size = GetFinalPathNameByHandleW(handle, target.data(), static_cast<DWORD>(target.size()), 0);
  }
  CloseHandle(handle);
  if (!same || size == 0 || size >= target.size()) return false;
  target.resize(size);
  return DeleteFileW(target.c_str()) != 0;
}

#else

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// Opening with O_NONBLOCK never waits: a FIFO opens for reading at once, with
// no program writing to it, to be refused; a FIFO that no program reads fails
// to open for writing (ENXIO); a serial line opens without its carrier. Reads
// and writes then wait as usual.
file_descriptor open_without_waiting(const std::string& path, int flags) {
  const int file = open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
  if (file < 0) return NO_FILE;
  const int status = fcntl(file, F_GETFL);
  if (status == -1 || fcntl(file, F_SETFL, status & ~O_NONBLOCK) == -1) {
    close(file);
    return NO_FILE;
  }
  return file;
}

}  // namespace

void prepare_console() {
  // Even when the parent left SIGPIPE ignored.
  std::signal(SIGPIPE, SIG_DFL);
}

std::vector<std::string> program_arguments(int argc, char** argv) { return {argv, argv + argc}; }

file_descriptor open_for_reading(const std::string& path) {
  return regular_or_none(open_without_waiting(path, O_RDONLY));
}

file_descriptor open_for_writing(const std::string& path) {
  const file_descriptor file = open_without_waiting(path, O_WRONLY | O_CREAT | O_TRUNC);
  struct stat info {};
  if (file == NO_FILE || (fstat(file, &info) == 0 &&
                          (S_ISREG(info.st_mode) || S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)))) {
    return file;
  }
  close(file);
  return NO_FILE;
}

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

bool close_file(file_descriptor file) { return close(file) == 0; }

file_identity identify(file_descriptor file) {
  struct stat info {};
  return fstat(file, &info) == 0 ? identify_stat(info) : file_identity{};
}

file_identity identify(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? identify_stat(info) : file_identity{};
}

bool remove_written_file(const std::string& path, const file_identity& written) {
  char* const resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return false;
  const std::string target = resolved;
  std::free(resolved);
  struct stat info {};
  if (lstat(target.c_str(), &info) != 0 || !same_regular_file(identify_stat(info), written)) return false;
  return unlink(target.c_str()) == 0;
}

#endif

bool same_regular_file(const file_identity& a, const file_identity& b) {
  return a.kind == FILE_REGULAR && b.kind == FILE_REGULAR && a.volume == b.volume && a.index == b.index;
}
