#!/usr/bin/env bash
# Runs one command line of the README's "Preparing a test" exactly as written
# there, on a synthesised song, and checks what it made: a 32-bit WAV file that
# wavmatch2 aligns, or a 16-bit WAV holding the raw stimulus byte for byte.
# Exits 77 (skipped) when a tool it needs is not installed.
#   readme_recipes.sh RECIPE README WAVMATCH2 MAKE_TEST_AUDIO
set -euo pipefail
recipe=$1
readme=$2
wavmatch2=$3
make_audio=$4

# The recipe's line: the first line of the section's code blocks matching the
# pattern, without its comment.
line_of() {
  local found
  found=$(awk '/^## Preparing a test/ { in_section = 1; next } /^## / { in_section = 0 }
               in_section && /^```/ { in_code = !in_code; next } in_section && in_code' "$readme" |
          grep -E -m 1 "$1" | sed 's/  *#.*$//') || true
  [ -n "$found" ] || { echo "no line matching '$1' in the README's Preparing a test"; exit 1; }
  echo "$found"
}

case $recipe in
  original) tools=(sox); pattern='^sox song\.wav' ;;
  mp3) tools=(lame mpg123); pattern='^mpg123 ' ;;
  aac_float) tools=(ffmpeg); pattern='^ffmpeg -i .*pcm_f32le' ;;
  aac_int) tools=(ffmpeg); pattern='^ffmpeg -i .*pcm_s32le' ;;
  vorbis) tools=(oggenc oggdec sox); pattern='^oggdec ' ;;
  opus) tools=(opusenc opusdec sox); pattern='^opusdec ' ;;
  play_raw) tools=(sox); pattern='^play -t raw' ;;
  raw_to_wav_sox) tools=(sox); pattern='^sox -t raw' ;;
  raw_to_wav_ffmpeg) tools=(ffmpeg sox); pattern='^ffmpeg -f s16le' ;;
  *) echo "unknown recipe $recipe"; exit 1 ;;
esac
for tool in "${tools[@]}"; do
  command -v "$tool" > /dev/null || { echo "readme_recipe.$recipe skipped: $tool is not installed"; exit 77; }
done
command=$(line_of "$pattern")

work=$(mktemp -d "${TMPDIR:-/tmp}/abchr-recipe-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
# The same music as a 16-bit CD rip and as the 32-bit original.
"$make_audio" 6 song32b.wav --pcm16 song.wav > /dev/null
quiet() { "$@" > /dev/null 2>&1 < /dev/null; }

# Runs the README's line; standard input is empty, as in a script.
run_recipe() {
  echo "running: $1"
  bash -c "$1" > recipe.log 2>&1 < /dev/null || { cat recipe.log; echo "the line failed"; exit 1; }
}

# The decoded file must be one that wavmatch2 aligns with the original.
expect_aligned() {
  local decoded=$1 out
  out=$("$wavmatch2" song32b.wav "$decoded" | tr -d '\r') || { echo "$out"; echo "wavmatch2 refused $decoded"; exit 1; }
  echo "$out" | grep "^... 1>" || { echo "$out"; exit 1; }
}

# A WAV of the raw stimulus: 2 channels, the song's rate, 16 bits, the raw
# bytes as its data.
expect_wav_of_raw() {
  local wav=$1 raw=$2 header
  header=$({ od -A n -t u2 -j 22 -N 2 "$wav"; od -A n -t u4 -j 24 -N 4 "$wav"; od -A n -t u2 -j 34 -N 2 "$wav"; } |
           xargs)
  [ "$header" = "2 44100 16" ] || { echo "channels, rate, bits: $header"; exit 1; }
  cmp <(tail -c "$(stat -c %s "$raw")" "$wav") "$raw" || { echo "$wav does not hold $raw"; exit 1; }
  echo "$wav holds the $(stat -c %s "$raw") bytes of $raw"
}

make_raw() {
  "$make_audio" 6 /dev/null song_mp332b.wav:1105:-0.4:-70 > /dev/null
  quiet "$wavmatch2" song32b.wav song_mp332b.wav
  rate=$(line_of '^rate=' | sed 's/^rate=//')
  eval "rate=$rate"
}

case $recipe in
  original)
    rm song32b.wav
    run_recipe "$command"
    cp song32b.wav copy32b.wav
    expect_aligned copy32b.wav ;;
  mp3)
    quiet lame -b 128 song.wav song.mp3
    run_recipe "$command"
    expect_aligned song_mp332b.wav ;;
  aac_float | aac_int)
    quiet ffmpeg -y -i song.wav -c:a aac -b:a 128k song.m4a
    run_recipe "$command"
    expect_aligned song_aac32b.wav ;;
  vorbis)
    quiet oggenc -q 4 -o song.ogg song.wav
    run_recipe "$command"
    expect_aligned song_vorbis32b.wav ;;
  opus)
    quiet opusenc --bitrate 96 song.wav song.opus
    run_recipe "$command"
    expect_aligned song_opus32b.wav ;;
  play_raw)
    # No sound card here: sox reads the stimulus with the same options and
    # writes it nowhere instead of to the speakers.
    make_raw
    run_recipe "rate=$rate; sox ${command#play } -n" ;;
  raw_to_wav_sox | raw_to_wav_ffmpeg)
    make_raw
    run_recipe "rate=$rate; $command"
    expect_wav_of_raw song_mp3.wav song_mp3.raw ;;
esac
