// libFuzzer target: any bytes as an input file of wavmatch2, through the header
// reader and the rest of the loading phase (and, for inputs long enough, the
// later phases). The file lives in memory; its raw output cannot be created
// beside it, so nothing is written to disk.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform.h"
#include "wav_track.h"
#include "wavmatch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The program's messages are not wanted here; libFuzzer reports on standard error.
  static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
  (void)quiet;
  const int fd = memfd_create("fuzz.wav", 0);
  if (fd < 0) return 0;
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  // As the original, and as a decoded file after a copy of itself.
  const char* argv[] = {"wavmatch2", path.c_str(), path.c_str()};
  console_state console;  // the fuzzer's own streams, never parked
  const int status = run_wavmatch(console, 3, argv);
  if (status < 0 || status > 10) __builtin_trap();
  close(fd);
  return 0;
}
