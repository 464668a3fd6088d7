#!/usr/bin/env bash
# A first look at the tools: builds every program, makes an original and
# encoded copies of it in demo-out/ (with the real codecs where they are
# installed, with shifted, scaled, noisy stand-ins where not), aligns their
# decodes with wavmatch2, lists the raw stimuli it wrote and wraps two of them
# as WAV, cleans a sample encoder log with logsweep, and prepares the song and
# its encodes into a listening-test folder with abchr-prepare.
# BUILD_DIR and DEMO_OUT choose other folders.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
out=${DEMO_OUT:-demo-out}

bash scripts/install-deps.sh
echo "== building ($build, Release)"
mkdir -p "$build"
log=$build/demo-build.log
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release > "$log" 2>&1 || { tail -20 "$log"; exit 1; }
targets=(wavmatch2 logsweep abchr-prepare make_test_audio)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >> "$log" 2>&1 || { tail -20 "$log"; exit 1; }
bin=$(cd "$build" && pwd)
make_audio=$bin/bench/make_test_audio

rm -rf "$out"
mkdir -p "$out"
cd "$out"
echo "== making inputs in $out/"
"$make_audio" 8 original32b.wav --pcm16 original16.wav

have() { for tool in "$@"; do command -v "$tool" > /dev/null || return 1; done; }
quiet() { "$@" > /dev/null 2>&1; }
decoded=()
encoded=()  # what abchr-prepare is given: the encoded file, or the stand-in
# name, tools, delay in frames, the commands making <name>32b.wav, for a
# machine without the tools a stand-in (gain in dB, noise in dBFS [, float]),
# and the encoded file.
codec() {
  local name=$1 tools=$2 delay=$3 make=$4 standin=$5 file=$6
  # shellcheck disable=SC2086
  if have $tools && eval "$make"; then
    echo "   $name: $tools (the codec delays the music by $delay frames)"
    encoded+=("$file")
  else
    "$make_audio" 8 /dev/null "${name}32b.wav:$delay:$standin"
    echo "   $name: stand-in, shifted by $delay frames ($tools not installed)"
    encoded+=("${name}32b.wav")
  fi
  decoded+=("${name}32b.wav")
}
codec mp3 "lame mpg123" 1105 \
  'quiet lame -b 128 original16.wav mp3.mp3 && quiet mpg123 --no-gapless -e s32 -w mp332b.wav mp3.mp3' -0.4:-70 \
  mp3.mp3
codec aac ffmpeg 1024 \
  'quiet ffmpeg -nostdin -y -i original16.wav -c:a aac -b:a 128k -f adts aac.aac &&
   quiet ffmpeg -nostdin -y -i aac.aac -c:a pcm_f32le aac32b.wav' 0.1:-65:float aac.aac
# Their decoders write 16 bits; sox widens them to the 32 that wavmatch2 reads.
codec vorbis "oggenc oggdec sox" 0 \
  'quiet oggenc -q 4 -o vorbis.ogg original16.wav && quiet oggdec -o vorbis16.wav vorbis.ogg &&
   sox vorbis16.wav -b 32 vorbis32b.wav' -0.1:-75 vorbis.ogg
codec opus "opusenc opusdec sox" 0 \
  'quiet opusenc --bitrate 96 original16.wav opus.opus && quiet opusdec --rate 44100 opus.opus opus16.wav &&
   sox opus16.wav -b 32 opus32b.wav' 0.3:-68 opus.opus

echo "== wavmatch2 original32b.wav ${decoded[*]}"
"$bin/track_aligner/wavmatch2" original32b.wav "${decoded[@]}"
echo "== raw stimuli written (16-bit stereo, aligned, level-matched)"
for raw in *.raw; do printf '   %-14s %9d bytes\n' "$raw" "$(stat -c %s "$raw")"; done
# Players and listening-test front ends that want a header get the raw bytes
# wrapped as WAV, at the inputs' rate (see the README's "Preparing a test").
rate=44100  # the synthesised song's; `soxi -r original32b.wav` tells it
if have sox; then
  echo "== sox -t raw -r $rate -e signed -b 16 -c 2 -L mp3.raw mp3.wav   (play: the same options after 'play')"
  sox -t raw -r "$rate" -e signed -b 16 -c 2 -L mp3.raw mp3.wav && soxi mp3.wav | grep -E 'Channels|Rate|Precision|Duration'
fi
if have ffmpeg; then
  echo "== ffmpeg -f s16le -ar $rate -ac 2 -i aac.raw aac.wav"
  quiet ffmpeg -nostdin -y -f s16le -ar "$rate" -ac 2 -i aac.raw aac.wav && echo "   aac.wav: $(stat -c %s aac.wav) bytes"
fi

logsweep=$bin/log_cleaner/logsweep
{
  printf 'lame 3.100 encoding original16.wav\nEncoding   0%%\rEncoding  25%%\rEncoding  50%%\r' > encoder.log
  printf 'Encoding  75%%\rEncoding 100%%\ndone: 1.2 s\n' >> encoder.log
  "$logsweep" encoder.log encoder.clean.log
  echo "== logsweep encoder.log encoder.clean.log   (before; ^M is a carriage return)"
  cat -v encoder.log
  echo "== after"
  cat -v encoder.clean.log
}

# The preparation of a test: the song and its encodes, decoded, aligned,
# checked and served under blind names in a test folder.
if have ffmpeg ffprobe; then
  echo "== abchr-prepare -o test --seed 1 original16.wav ${encoded[*]}"
  "$bin/abchr_prepare/abchr-prepare" -o test --seed 1 original16.wav "${encoded[@]}"
  echo "== ls test test/public test/public/stimuli/original16   (upload test/public/ alone: it holds no key)"
  ls test test/public test/public/stimuli/original16
  echo "== test/key.csv"
  cat test/key.csv
else
  echo "== abchr-prepare needs ffmpeg and ffprobe (Debian: sudo apt-get install ffmpeg)"
fi
