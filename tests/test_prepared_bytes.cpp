// Every byte that abchr-prepare serves and reports, for runs that between
// them take each path through the preparation (a whole song, an excerpt with
// fades, codec names, MUSHRA pages, headroom, a quieter and a delayed
// encoding): the SHA-256 of each file as the program wrote it before its code
// was rearranged around one record of a song. A change of any number or byte
// fails its row. (The key and the configs are checked by their consumers; the
// stand-in's own path, which the report names, is taken out first. The song's
// own reports changed once since, where the decoder's command names each
// path as a file: URL; and again when a whole song got fades of 5 ms and
// MUSHRA pages their two anchors: with --fade 0 and bs1116 pages the rows
// give the earlier digests.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "prepare_runs.h"
#include "sha256.h"
#include "temp_dir.h"

namespace {

struct bytes_row {
  const char* name;
  std::vector<std::string> options;
  std::map<std::string, std::string> sha256;  // path in the test folder -> digest
};

const std::vector<bytes_row> ROWS = {
    {"whole",
     {},
     {
         {"public/stimuli/song/S1.wav", "4c3b5595bb1eff678f74d8d652785c1959c63b40151d8bdafb82ccc834c759ef"},
         {"public/stimuli/song/S2.wav", "94773b57e2a560df929de36db34d06d71897dd62e20a016201a87e81c2d9cb56"},
         {"public/stimuli/song/reference.wav",
          "94773b57e2a560df929de36db34d06d71897dd62e20a016201a87e81c2d9cb56"},
         {"public/listen/data/1.js", "a00f2a468fe041195fd7ef0e6565872908fa2ac50857f61c3a4c079fd8865786"},
         {"report.json", "10b94c57d2ede87225aa1ba7db9ed82d7e499489635c29d02aaba81af9c4138f"},
         {"report.txt", "9e22fe9bc18a56f377e6d21988817fa5ede3b49d4f7d2f60c50eba6b4e02360c"},
         {"songs/song.json", "796453cd599f38281563bc148324834b09d1ff7c61edf3122a4b4ccabdf54b3d"},
         {"songs/song/report.json", "1dde435c5bb027f4eb640b2b9082d0b5f18d1b757f07fa630bf4fc81d4c8b4ac"},
         {"songs/song/report.txt", "fdc06140e8446fc74db3f9b7d7fcff989380ce8b8d3a90c711a638b3afd078a3"},
     }},
    {"excerpt",
     {"--excerpt", "0.5,1.5", "--fade", "30"},
     {
         {"public/stimuli/song/S1.wav", "0c932b5ca2b388ed77c5f93e423a2b6b71d7947c0a22ee68c3857a62b1818f85"},
         {"public/stimuli/song/S2.wav", "8a81fe32205ee3458fa45da93fb9a7095a43350f41bb7618abe86fbafca5bf20"},
         {"public/stimuli/song/reference.wav",
          "8a81fe32205ee3458fa45da93fb9a7095a43350f41bb7618abe86fbafca5bf20"},
         {"public/listen/data/1.js", "d5eefc7e4165719b19fd916032760d64a2f214b4093d88a0594ce744a3a6e28f"},
         {"report.json", "ff82f50a8f47d59686253329916fcf3d29bb70af22c692ee2d91ff9ddcbdaaf6"},
         {"report.txt", "59f30899f3de923a8f005ff5768fe591e8897e9a7cf3a706e3154174adbe38f7"},
         {"songs/song.json", "d03aaa7695125ec66011fd0afdac639a6356b9556b63c08d13d3d4323fa83d2b"},
         {"songs/song/report.json", "1dde435c5bb027f4eb640b2b9082d0b5f18d1b757f07fa630bf4fc81d4c8b4ac"},
         {"songs/song/report.txt", "fdc06140e8446fc74db3f9b7d7fcff989380ce8b8d3a90c711a638b3afd078a3"},
     }},
    {"codec_names_mushra",
     {"--names", "codec", "--page", "mushra", "--headroom", "1.5"},
     {
         {"public/stimuli/song/anchor-3.5kHz.wav",
          "5af4a665610b4912fa1b80bb8eabc918206e810cb8623ae4f9100f4a44ba7c17"},
         {"public/stimuli/song/anchor-7kHz.wav",
          "051254f81e64b599462ba8dbbea915fa74c58e479f541218f7e4312f38dab3cd"},
         {"public/stimuli/song/pcm_f32le-1.wav",
          "00e9c456db0deaafc797680353a1c48cda825a14134f786209fe884b3dd49ad6"},
         {"public/stimuli/song/pcm_f32le-2.wav",
          "ff37da3ed5bfbde7e51346103b6ebe0d61a523769cbd2eed4da96fa79b6b70e2"},
         {"public/stimuli/song/reference.wav",
          "ff37da3ed5bfbde7e51346103b6ebe0d61a523769cbd2eed4da96fa79b6b70e2"},
         {"report.json", "69a4fc14f230dc36f4def8c374068f2f2463d47364899aa99b55e36dba1a8149"},
         {"report.txt", "39f7fd428006946b4f1eff6de0f304c1e8c31ad72b6bac9bea37322c610155ec"},
         {"songs/song.json", "38267578c235a0f0c30b065ed1490b5b2615d9b9f17fdde87da622f0646803ed"},
         {"songs/song/report.json", "ca5b4bb712304aebac7ea331c6067ef6c1d47a070fa864cf2213f2eaca30326f"},
         {"songs/song/report.txt", "ce5dffa45a212a5098bc17b0c9e8f4c0daffbb8e436c77c74ead6dc7a0271014"},
     }},
};

// The song and its encodings: a copy 1 dB quieter and one 300 frames later.
void write_inputs(const temp_dir& dir) {
  const std::vector<int16_t> music = music_16(3 * MUSIC_RATE, 7);
  write_file(dir.file("song.wav"), pcm16_wav(music));
  write_file(dir.file("quieter.wav"), float_music_wav(music, 0.891));
  std::vector<int16_t> later(300 * 2, 0);
  later.insert(later.end(), music.begin(), music.end() - 300 * 2);
  write_file(dir.file("later.wav"), float_music_wav(later, 1.0));
}

std::string digest(const std::string& path) {
  const bytes b = read_file(path);
  std::string text(b.begin(), b.end());
  const std::string standins = STANDIN_FOLDER;
  for (std::size_t at = text.find(standins); at != std::string::npos; at = text.find(standins, at)) {
    text.replace(at, standins.size(), "STANDINS");
  }
  return sha256_hex(text.data(), text.size());
}

TEST(prepared_bytes, every_served_and_reported_byte_as_before) {
  for (const bytes_row& row : ROWS) {
    SCOPED_TRACE(row.name);
    temp_dir dir;
    write_inputs(dir);
    std::vector<std::string> args{"-q", "--seed", "5", "-o", "TEST"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.insert(args.end(), {"song.wav", "quieter.wav", "later.wav"});
    const program_run run = run_prepare(args, dir.path, STANDIN_FOLDER);
    ASSERT_EQ(run.status, 0) << run.err;
    std::map<std::string, std::string> found;
    for (const auto& [path, sha] : row.sha256) found[path] = digest(dir.file("TEST/" + path));
    EXPECT_EQ(found, row.sha256);
    const auto served = std::count_if(row.sha256.begin(), row.sha256.end(), [](const auto& file) {
      return file.first.starts_with("public/stimuli/");
    });
    EXPECT_EQ(listing(dir.file("TEST/public/stimuli/song")).size(), served);  // and no other file
  }
}

#ifdef OPEN_LOG_SHIM_PATH
// With an excerpt, each served file is written once, straight into the
// staging folder's served/, cut and faded: no whole stimulus is written first
// and read back. A preloaded library logs every fopen of a WAV file.
TEST(prepared_bytes, each_served_file_is_written_once) {
  temp_dir dir;
  write_inputs(dir);
  const std::string log = dir.file("opens.log");
  setenv("ABCHR_OPEN_LOG", log.c_str(), 1);
  setenv("LD_PRELOAD", OPEN_LOG_SHIM_PATH, 1);
  const program_run run =
      run_prepare({"-q", "--excerpt", "0.5,1.5", "-o", "TEST", "song.wav", "quieter.wav", "later.wav"},
                  dir.path, STANDIN_FOLDER);
  unsetenv("LD_PRELOAD");
  unsetenv("ABCHR_OPEN_LOG");
  ASSERT_EQ(run.status, 0) << run.err;
  const bytes b = read_file(log);
  std::istringstream lines(std::string(b.begin(), b.end()));
  std::map<std::string, int> served_writes;
  std::vector<std::string> others;  // any other WAV file of the staging folder but the decodes
  for (std::string mode, path; lines >> mode >> path;) {
    if (path.find("/.decoded/") != std::string::npos || path.find("/.new-") == std::string::npos) continue;
    if (path.find("/served/") != std::string::npos) {
      // Written, and read back only as the commit checks their headers.
      if (mode != "rb") served_writes[path.substr(path.rfind('/') + 1) + " " + mode] += 1;
    } else {
      others.push_back(mode + " " + path);
    }
  }
  EXPECT_EQ(served_writes,
            (std::map<std::string, int>{{"S1.wav wb", 1}, {"S2.wav wb", 1}, {"reference.wav wb", 1}}));
  EXPECT_EQ(others, std::vector<std::string>{});
}
#endif

}  // namespace
