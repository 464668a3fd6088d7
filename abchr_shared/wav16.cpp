#include "wav16.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "utf8_paths.h"

namespace {

uint32_t u32_at(const unsigned char* b) {
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}
uint16_t u16_at(const unsigned char* b) { return static_cast<uint16_t>(b[0] | b[1] << 8); }

void put_u16(std::string& out, uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void put_u32(std::string& out, uint32_t v) {
  put_u16(out, v & 0xFFFF);
  put_u16(out, v >> 16);
}

bool read_exactly(std::ifstream& in, unsigned char* into, std::size_t n) {
  in.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(n));
  return static_cast<std::size_t>(in.gcount()) == n;
}

}  // namespace

bool read_wav16_info(const std::string& path, wav16_info& info) {
  errno = 0;
  std::ifstream in(path_of(path), std::ios::binary);
  unsigned char head[12];
  if (!in || !read_exactly(in, head, 12)) return false;
  errno = 0;
  if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return false;
  bool have_format = false;
  uint64_t at = 12;
  // RIFF chunks in order: an 8-byte header, the body, a pad byte after an odd body.
  for (int chunk = 0; chunk < 64; ++chunk) {
    unsigned char header[8];
    if (!read_exactly(in, header, 8)) return false;
    const uint32_t length = u32_at(header + 4);
    at += 8;
    if (std::memcmp(header, "fmt ", 4) == 0 && length >= 16) {
      unsigned char fmt[16];
      if (!read_exactly(in, fmt, 16)) return false;
      if (u16_at(fmt) != 1 || u16_at(fmt + 14) != 16 || u16_at(fmt + 2) == 0) return false;
      info.channels = u16_at(fmt + 2);
      info.rate = u32_at(fmt + 4);
      have_format = true;
      in.seekg(static_cast<std::streamoff>(at + length + length % 2));
    } else if (std::memcmp(header, "data", 4) == 0) {
      if (!have_format) return false;
      info.data_offset = at;
      info.frames = length / (2 * static_cast<uint32_t>(info.channels));
      return true;
    } else {
      in.seekg(static_cast<std::streamoff>(at + length + length % 2));
    }
    at += length + length % 2;
    if (!in) return false;
  }
  return false;
}

bool read_wav16_frames(const std::string& path, const wav16_info& info, int64_t start, int64_t frames,
                       std::vector<int16_t>& samples) {
  errno = 0;
  if (start < 0 || frames < 0 || start + frames > info.frames) return false;
  std::ifstream in(path_of(path), std::ios::binary);
  const auto width = static_cast<uint64_t>(info.channels) * 2;
  in.seekg(static_cast<std::streamoff>(info.data_offset + static_cast<uint64_t>(start) * width));
  std::vector<unsigned char> raw(static_cast<std::size_t>(frames) * width);
  if (!in || !read_exactly(in, raw.data(), raw.size())) return false;
  samples.resize(raw.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(u16_at(&raw[2 * i]));
  }
  return true;
}

std::string wav16_header(int64_t rate, int channels, uint32_t data_bytes) {
  const auto block = static_cast<uint32_t>(channels * 2);
  std::string bytes;
  bytes += "RIFF";
  put_u32(bytes, 36 + data_bytes);
  bytes += "WAVEfmt ";
  put_u32(bytes, 16);
  put_u16(bytes, 1);
  put_u16(bytes, static_cast<uint32_t>(channels));
  put_u32(bytes, static_cast<uint32_t>(rate));
  put_u32(bytes, static_cast<uint32_t>(rate) * block);
  put_u16(bytes, block);
  put_u16(bytes, 16);
  bytes += "data";
  put_u32(bytes, data_bytes);
  return bytes;
}

bool write_wav16(const std::string& path, int64_t rate, int channels, const std::vector<int16_t>& samples) {
  std::string bytes = wav16_header(rate, channels, static_cast<uint32_t>(samples.size() * 2));
  bytes.reserve(bytes.size() + samples.size() * 2);
  for (const int16_t s : samples) put_u16(bytes, static_cast<uint16_t>(s));
  errno = 0;
  std::ofstream out(path_of(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out && errno == 0) errno = EIO;
  return static_cast<bool>(out);
}
