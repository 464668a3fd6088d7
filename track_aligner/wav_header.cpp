// RIFF WAVE header reader. The header is read field by field from the front;
// it looks ahead only at an extensible header's sub-format and at the file's
// end. Bytes missing at the end of a cut file read as zero, so every path
// through it ends with one of its statuses; a seek that fails is a read error.
#include "wav_header.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "console.h"
#include "little_endian.h"
#include "platform.h"
#include "track_record.h"

namespace {

// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT: the sub-format GUID of an extensible header
// whose samples are IEEE floats, as it is stored in the file.
constexpr unsigned char IEEE_FLOAT_GUID[16] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                               0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr int16_t FORMAT_PCM = 1;
constexpr int16_t FORMAT_IEEE_FLOAT = 3;
constexpr int16_t FORMAT_EXTENSIBLE = -2;  // 0xFFFE
// In an extensible "fmt " body the sub-format GUID starts at byte 24 and the
// chunk is at least 40 bytes long.
constexpr int EXTENSIBLE_FMT_LENGTH = 40;
constexpr int SUBFORMAT_AHEAD = 24 - 4;  // from just past tag and channel count

struct header_stream {
  FILE* fp;
  bool seek_failed = false;

  // Reads n bytes; what the file no longer holds reads as zero.
  void read(unsigned char* bytes, std::size_t n) {
    std::memset(bytes, 0, n);
    std::size_t got = std::fread(bytes, 1, n, fp);
    (void)got;
  }
  void read_tag(char (&tag)[5]) {
    read(reinterpret_cast<unsigned char*>(tag), 4);
    tag[4] = '\0';
  }
  uint32_t read_u32() {
    unsigned char b[4];
    read(b, 4);
    return load_u32(b);
  }
  int32_t read_i32() { return static_cast<int32_t>(read_u32()); }

  // Steps over a chunk body. A zero or negative length skips nothing. RIFF
  // pads a chunk of odd length with one zero byte that its length does not
  // count; writers that forget the pad are common too, so a byte after an odd
  // body is consumed only when it is zero.
  void skip(int64_t length) {
    if (length <= 0) return;
    seek(length, SEEK_CUR);
    if (length % 2 == 1) {
      const int next = std::fgetc(fp);
      if (next != EOF && next != 0) std::ungetc(next, fp);
    }
  }
  void seek(int64_t offset, int origin) {
    if (!file_seek(fp, offset, origin)) seek_failed = true;
  }
  int64_t tell() {
    const int64_t position = file_tell(fp);
    if (position < 0) seek_failed = true;
    return position;
  }
  bool failed() const { return seek_failed || std::ferror(fp) != 0; }
};

bool same_tag(const char (&tag)[5], const char* name) { return std::memcmp(tag, name, 4) == 0; }

// Reads chunk tags until one is `name`, stepping over the body of every other
// while the budget, which all searches of one header share, lasts. `skipped`
// hears of each chunk stepped over.
template <class announce>
void walk_to_chunk(header_stream& in, const char* name, int& budget, announce skipped) {
  char tag[5] = {};
  in.read_tag(tag);
  while (!same_tag(tag, name) && budget > 0 && !in.failed()) {
    skipped(tag);
    in.skip(in.read_i32());
    in.read_tag(tag);
    --budget;
  }
}

}  // namespace

int read_wav_header(wav_track& track, const std::string& path) {
  if (path.empty()) {
    say("Cannot open this empty path ''\r\n");
    return STATUS_CANNOT_OPEN;
  }
  // Every later phase seeks in the file: a folder, a pipe, a socket or a
  // device is no input, however it was named, and must not make the run wait.
  track.fp = open_input(path);
  if (track.fp == nullptr) {
    const int cause = errno;
    say("Cannot open this file : %s\r\n", path.c_str());
    say_system_error(path, cause);
    return STATUS_CANNOT_OPEN;
  }
  return parse_wav_header(track, path);
}

int parse_wav_header(wav_track& track, const std::string& path) {
  header_stream in{track.fp};

  char label[LABEL_LENGTH + 1];
  build_label(label, track.index, path);

  char tag[5] = {};
  in.read_tag(tag);
  if (in.failed()) return say_cannot_read(path, errno);
  if (!same_tag(tag, "RIFF")) {
    say("RIFF != %s\r\n", tag);
    say("%s Not a valid RIFF WAV File: %s\r\n", label, path.c_str());
    return STATUS_NOT_RIFF;
  }
  in.read_u32();  // RIFF size: not needed, the chunks are walked instead
  in.read_tag(tag);
  if (!same_tag(tag, "WAVE")) say("WAVE != %s\r\n", tag);

  int budget = CHUNK_BUDGET;
  walk_to_chunk(in, "fmt ", budget, [&](const char(&skipped)[5]) {
    say("%s skipped unknown chunk '%s' while searching 'fmt '.\r\n", label, skipped);
  });
  if (in.failed()) return say_cannot_read(path, errno);
  if (budget == 0) {
    say("%s Chunks too much.\r\n", label);
    return STATUS_NOT_RIFF;
  }

  const int32_t fmt_length = in.read_i32();
  unsigned char format[4];
  in.read(format, 4);
  const auto format_tag = static_cast<int16_t>(load_u16(format));
  const unsigned channels = load_u16(format + 2);

  if (format_tag == FORMAT_IEEE_FLOAT) {
    track.is_float = 1;
  } else if (format_tag == FORMAT_PCM || format_tag == FORMAT_EXTENSIBLE) {
    track.is_float = 0;
    // Decoders write 32-bit float output with the extensible header too; only
    // its sub-format GUID tells float from integer.
    if (format_tag == FORMAT_EXTENSIBLE && fmt_length >= EXTENSIBLE_FMT_LENGTH) {
      const int64_t here = in.tell();
      unsigned char guid[16];
      in.seek(SUBFORMAT_AHEAD, SEEK_CUR);
      in.read(guid, sizeof guid);
      in.seek(here, SEEK_SET);
      if (in.failed()) return say_cannot_read(path, errno);
      if (std::memcmp(guid, IEEE_FLOAT_GUID, sizeof guid) == 0) track.is_float = 1;
    }
  } else {
    say("%s This is not a linear(integer) or float PCM. %d\r\n", label, format_tag);
    return STATUS_NOT_PCM;
  }
  std::memcpy(label, track.is_float ? "FLO" : "INT", 3);
  std::memcpy(track.label, label, sizeof label);

  if (channels != 2) {
    say("%s This is not a stereo file. Num of channel is %u.\r\n", label, channels);
    return STATUS_NOT_STEREO;
  }
  const uint32_t sample_rate = in.read_u32();
  track.sample_rate = sample_rate;
  if (sample_rate != 44100) {
    say("%s Using sample rate other than 44.1kHz is not recommended.\r\n", label);
  }
  const uint32_t byte_rate = in.read_u32();
  if (byte_rate != static_cast<uint64_t>(sample_rate) * 8) {
    const uint64_t bits = sample_rate == 0 ? 0 : static_cast<uint64_t>(byte_rate) * 4 / sample_rate;
    say("%s This is not a 32bit depth wave file.\r\n", label);
    say("%s This is probably a %" PRIu64 " bit wave file.\r\n", label, bits);
    return STATUS_NOT_32BIT;
  }
  // Block align, bits per sample and any extension are not needed.
  if (fmt_length > 12) in.skip(static_cast<int64_t>(fmt_length) - 12);

  walk_to_chunk(in, "data", budget, [](const char(&)[5]) {});
  if (in.failed()) return say_cannot_read(path, errno);
  if (budget == 0) {
    say("%s There are no data chunk.\r\n", label);
    return STATUS_NO_DATA;
  }

  const uint32_t data_length = in.read_u32();
  if (in.failed()) return say_cannot_read(path, errno);
  if ((data_length & 7u) != 0) {
    say("%s ILLEGAL DATA CHUNK LENGTH : %d\r\n", label, static_cast<int32_t>(data_length));
  }
  track.data_pos = in.tell();
  // A file cut short, or the placeholder length a streaming writer leaves, must
  // not send the later phases past the end of the file.
  in.seek(0, SEEK_END);
  const int64_t file_size = in.tell();
  in.seek(track.data_pos, SEEK_SET);
  if (in.failed()) return say_cannot_read(path, errno);
  const int64_t held = file_size > track.data_pos ? file_size - track.data_pos : 0;
  if (static_cast<int64_t>(data_length) > held) {
    track.frame_num = static_cast<int32_t>(held / 8);
    say("%s DATA CHUNK TRUNCATED : %d[samples]\r\n", label, track.frame_num);
  } else {
    track.frame_num = static_cast<int32_t>(data_length / 8);
  }
  return 0;
}
