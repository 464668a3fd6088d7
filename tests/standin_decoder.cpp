// A stand-in for ffmpeg and ffprobe, for testing abchr-prepare where the real
// ones cannot be installed (the Windows build under wine). It reads WAV files
// only: as ffprobe it describes one in ffprobe's JSON; as ffmpeg it writes one
// as a 32-bit integer or float WAV, as abchr-prepare's commands ask; with
// -version it names itself. Built twice, as ffmpeg and as ffprobe.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct wav {
  uint16_t format = 0;  // 1 integer, 3 float (the extensible header's sub-format)
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint16_t bits = 0;
  std::vector<unsigned char> data;
};

uint32_t u32(const std::vector<unsigned char>& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t u16(const std::vector<unsigned char>& b, std::size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

bool read_wav(const std::string& path, wav& w) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0) return false;
  for (std::size_t at = 12; at + 8 <= b.size();) {
    const uint32_t length = u32(b, at + 4);
    const std::size_t body = at + 8;
    if (std::memcmp(&b[at], "fmt ", 4) == 0 && body + 16 <= b.size()) {
      w.format = u16(b, body);
      w.channels = u16(b, body + 2);
      w.rate = u32(b, body + 4);
      w.bits = u16(b, body + 14);
      if (w.format == 0xFFFE && body + 26 <= b.size()) w.format = u16(b, body + 24);
    } else if (std::memcmp(&b[at], "data", 4) == 0) {
      const std::size_t end = body + length < b.size() ? body + length : b.size();
      w.data.assign(b.begin() + static_cast<long>(body), b.begin() + static_cast<long>(end));
      return w.format != 0;
    }
    at = body + length + (length % 2);
  }
  return false;
}

// One sample at full scale 1.0.
double sample(const wav& w, std::size_t i) {
  const unsigned char* p = &w.data[i * (w.bits / 8)];
  if (w.format == 3) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
  }
  if (w.bits == 16) return static_cast<int16_t>(p[0] | p[1] << 8) / 32768.0;
  return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24) /
         2147483648.0;
}

void put(std::vector<unsigned char>& b, uint32_t v, int bytes) {
  for (int k = 0; k < bytes; ++k) b.push_back(static_cast<unsigned char>(v >> (8 * k)));
}

bool write_wav(const std::string& path, const wav& in, bool as_float) {
  const std::size_t values = in.data.size() / (in.bits / 8);
  std::vector<unsigned char> b{'R', 'I', 'F', 'F'};
  put(b, static_cast<uint32_t>(36 + 4 * values), 4);
  for (const char c : std::string("WAVEfmt ")) b.push_back(static_cast<unsigned char>(c));
  put(b, 16, 4);
  put(b, as_float ? 3 : 1, 2);
  put(b, in.channels, 2);
  put(b, in.rate, 4);
  put(b, in.rate * in.channels * 4, 4);
  put(b, in.channels * 4u, 2);
  put(b, 32, 2);
  for (const char c : std::string("data")) b.push_back(static_cast<unsigned char>(c));
  put(b, static_cast<uint32_t>(4 * values), 4);
  for (std::size_t i = 0; i < values; ++i) {
    const double v = sample(in, i);
    if (as_float) {
      const float f = static_cast<float>(v);
      uint32_t bits;
      std::memcpy(&bits, &f, 4);
      put(b, bits, 4);
    } else {
      const double scaled = std::fmin(std::fmax(std::round(v * 2147483648.0), -2147483648.0), 2147483647.0);
      put(b, static_cast<uint32_t>(static_cast<int32_t>(scaled)), 4);
    }
  }
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  return static_cast<bool>(out);
}

}  // namespace

// ffmpeg's own "file:" protocol, which abchr-prepare puts before every path.
std::string file_of(const std::string& url) { return url.rfind("file:", 0) == 0 ? url.substr(5) : url; }

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "-hide_banner" && args.size() > 1 && args[1] == "-version") {
    std::printf("%s version stand-in-1 for the tests\n", STANDIN_NAME);
    return 0;
  }
  if (args.empty()) return 1;
  if (std::string(STANDIN_NAME) == "ffprobe") {
    wav w;
    if (!read_wav(file_of(args.back()), w)) {
      std::fprintf(stderr, "%s: Invalid data found when processing input\n", args.back().c_str());
      return 1;
    }
    const double frames = static_cast<double>(w.data.size()) / (w.bits / 8) / w.channels;
    std::printf(
        "{\"streams\": [{\"codec_name\": \"pcm_%s%ule\", \"sample_rate\": \"%u\", \"channels\": %u, "
        "\"duration\": \"%.6f\", \"start_time\": \"0.000000\"}], \"format\": {\"format_name\": \"wav\"}}\n",
        w.format == 3 ? "f" : "s", static_cast<unsigned>(w.bits), w.rate, static_cast<unsigned>(w.channels),
        frames / w.rate);
    return 0;
  }
  // ffmpeg ... -i IN ... -c:a pcm_s32le|pcm_f32le -f wav OUT
  std::string input;
  bool as_float = false;
  for (std::size_t k = 0; k + 1 < args.size(); ++k) {
    if (args[k] == "-i") input = file_of(args[k + 1]);
    if (args[k] == "-c:a") as_float = args[k + 1] == "pcm_f32le";
  }
  wav w;
  if (!read_wav(input, w)) {
    std::fprintf(stderr, "%s: Invalid data found when processing input\n", input.c_str());
    return 1;
  }
  return write_wav(file_of(args.back()), w, as_float) ? 0 : 1;
}
