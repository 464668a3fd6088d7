// Writes the seed corpus of the WAV header fuzz target: every file of the
// header tests, a few valid headers, and short valid files.
#include <cstdio>
#include <string>

#include "malformed_wavs.h"
#include "wav_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds folder\n");
    return 2;
  }
  const std::string folder = argv[1];
  int n = 0;
  for (const malformed::header_case& c : malformed::header_cases()) {
    bytes file = make_wav(c.layout, c.samples);
    if (c.cut_at >= 0) file.resize(static_cast<std::size_t>(c.cut_at));
    if (c.cut_at < -1) file.resize(file.size() - static_cast<std::size_t>(-c.cut_at));
    write_file(folder + "/" + c.name + ".wav", file);
    ++n;
  }
  std::printf("%d seeds in %s\n", n, folder.c_str());
  return 0;
}
