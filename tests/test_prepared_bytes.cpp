// Every byte that abchr-prepare serves and reports, for runs that between
// them take each path through the preparation (a whole song, an excerpt with
// fades, codec names, MUSHRA pages, headroom, a quieter and a delayed
// encoding): the SHA-256 of each file as the program wrote it before its code
// was rearranged around one record of a song. A change of any number or byte
// fails its row. (The key and the configs are checked by their consumers; the
// stand-in's own path, which the report names, is taken out first.)
#include <gtest/gtest.h>

#include <map>
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
         {"public/stimuli/song/S1.wav", "14708efbd7e9f65214b60d55c872ab8d775fec07cd96f5f32383add86ab634d4"},
         {"public/stimuli/song/S2.wav", "50c99310a1bb877b5f4b9c6256da61fc00807a78064a0bc079c7ef999e3cc137"},
         {"public/stimuli/song/reference.wav",
          "50c99310a1bb877b5f4b9c6256da61fc00807a78064a0bc079c7ef999e3cc137"},
         {"report.json", "c2656796f362cec2ce99e636cf11f484e936755e9ac56f4b24514126b1a719fb"},
         {"report.txt", "9a08de0ebc5b4aa085e6330a978e172ece76136b34177067f9cb07525f510e02"},
         {"songs/song.json", "751dcf353a9ac12ec41420b8c03024cabc5645b2e8f6dc5f0156a40ac2065b30"},
         {"songs/song/report.json", "21db6f81eb17b30c6485824ef6d5a47ef1cd6a962bfb222fbdd006920d7ae95c"},
         {"songs/song/report.txt", "abafb5adb8d6892bff592284e81f4be362c227027f9426eb383fd1cdf779f857"},
     }},
    {"excerpt",
     {"--excerpt", "0.5,1.5", "--fade", "30"},
     {
         {"public/stimuli/song/S1.wav", "0c932b5ca2b388ed77c5f93e423a2b6b71d7947c0a22ee68c3857a62b1818f85"},
         {"public/stimuli/song/S2.wav", "8a81fe32205ee3458fa45da93fb9a7095a43350f41bb7618abe86fbafca5bf20"},
         {"public/stimuli/song/reference.wav",
          "8a81fe32205ee3458fa45da93fb9a7095a43350f41bb7618abe86fbafca5bf20"},
         {"report.json", "ff82f50a8f47d59686253329916fcf3d29bb70af22c692ee2d91ff9ddcbdaaf6"},
         {"report.txt", "59f30899f3de923a8f005ff5768fe591e8897e9a7cf3a706e3154174adbe38f7"},
         {"songs/song.json", "d03aaa7695125ec66011fd0afdac639a6356b9556b63c08d13d3d4323fa83d2b"},
         {"songs/song/report.json", "21db6f81eb17b30c6485824ef6d5a47ef1cd6a962bfb222fbdd006920d7ae95c"},
         {"songs/song/report.txt", "abafb5adb8d6892bff592284e81f4be362c227027f9426eb383fd1cdf779f857"},
     }},
    {"codec_names_mushra",
     {"--names", "codec", "--page", "mushra", "--headroom", "1.5"},
     {
         {"public/stimuli/song/pcm_f32le-1.wav",
          "9e42d8c16a738fe69ff1161fef8057a7046e884e22e74e01d61f23257567bd1e"},
         {"public/stimuli/song/pcm_f32le-2.wav",
          "a0e95af1ecc357ad3d0d65205d0a559b58af005b2951d8d2beab8e06d8a0201e"},
         {"public/stimuli/song/reference.wav",
          "a0e95af1ecc357ad3d0d65205d0a559b58af005b2951d8d2beab8e06d8a0201e"},
         {"report.json", "b9c7f5e8519330a4fc21375289917e173a5b47485f596f635bf4f536cd96a6fd"},
         {"report.txt", "a02f3826d677cc65e3274c60beff930c396884e587e6397eeb3853a61b93f478"},
         {"songs/song.json", "23d6b25d5d8b7a76e3f502b8b08d64bd02035b186cb1c816335c24406a1a6ac7"},
         {"songs/song/report.json", "9a0464d862ea80af54b2b5e6ff4fb1463695e9a87429d052130249130074e0a0"},
         {"songs/song/report.txt", "f92be4c5ac20d37e1a76fcb4a5f7263087afb328637dd426c21be14783106a69"},
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
    EXPECT_EQ(listing(dir.file("TEST/public/stimuli/song")).size(), 3u);  // and no other file
  }
}

}  // namespace
