// The 16-bit PCM WAV files that are a test's stimuli: reading a stretch of
// frames from one and writing one whole. The files this program writes have
// a 44-byte header ("RIFF", "fmt " of 16 bytes, "data"), as every front end
// reads; when reading, chunks before "data" are stepped over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct wav16_info {
  int64_t rate = 0;
  int channels = 0;
  int64_t frames = 0;
  uint64_t data_offset = 0;  // where the first sample's bytes start
};

// false when the file cannot be read or is not 16-bit PCM; errno holds the
// system's reason for a failed read, else 0.
bool read_wav16_info(const std::string& path, wav16_info& info);
// Frames [start, start + frames) as interleaved samples.
bool read_wav16_frames(const std::string& path, const wav16_info& info, int64_t start, int64_t frames,
                       std::vector<int16_t>& samples);
// The canonical 44-byte header of a 16-bit PCM WAV file of `data_bytes`
// bytes of samples: "RIFF", "fmt " of 16 bytes, "data".
std::string wav16_header(int64_t rate, int channels, uint32_t data_bytes);
// Writes a new file (any file of that name is replaced); false with errno set
// when it could not be written completely.
bool write_wav16(const std::string& path, int64_t rate, int channels, const std::vector<int16_t>& samples);
