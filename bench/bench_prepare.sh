#!/usr/bin/env bash
# abchr-prepare on one song with six encoded files (MP3, AAC in .m4a and as
# ADTS, Vorbis, Opus, and a low-bitrate MP3), timed in the same run against
# two baselines:
#   - its floor: the same ffprobe runs and decoder commands (those its
#     report.json records), as many at a time as it runs them, in the best of
#     three orders: the probes first, the decodes first (the costliest
#     first), or each probe followed by its decode;
#   - the README's recipe by hand for the same files, one command after
#     another: the decodes to 32-bit WAV (mpg123, ffmpeg, opusdec, sox),
#     wavmatch2, and a sox wrap of each raw stimulus as WAV.
#
#   bench/bench_prepare.sh [BUILD_DIR [SECONDS [RUNS]]]    defaults: build 240 3
#
# Wall-clock times, the median of RUNS runs each, all measured in this run;
# the load average is printed, as other work on the machine moves them.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
seconds=${2:-240}
runs=${3:-3}
program="$build/abchr_prepare/abchr-prepare"
wavmatch2="$build/track_aligner/wavmatch2"
for tool in "$program" "$wavmatch2" "$build/bench/make_test_audio"; do
  [ -x "$tool" ] || { echo "bench_prepare: build $tool first" >&2; exit 1; }
done
for tool in ffmpeg ffprobe lame oggenc opusenc opusdec mpg123 sox python3; do
  command -v "$tool" > /dev/null || { echo "bench_prepare: $tool is not installed" >&2; exit 1; }
done
jobs=$(nproc)

work=$(mktemp -d "${TMPDIR:-/tmp}/abchr-prepare-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/bench/make_test_audio" "$seconds" song32.wav --pcm16 song.wav > /dev/null
lame --quiet -V2 song.wav song.mp3
lame --quiet -b 32 --resample 44.1 song.wav low.mp3
ffmpeg -nostdin -v error -i song.wav -c:a aac -b:a 128k song.m4a
ffmpeg -nostdin -v error -i song.wav -c:a aac -b:a 128k -f adts song.aac
oggenc -Q -q 4 -o song.ogg song.wav
opusenc --quiet --bitrate 96 song.wav song.opus
inputs=(song.wav song.mp3 low.mp3 song.m4a song.aac song.ogg song.opus)

# Runs a command; prints its wall-clock and CPU milliseconds.
timed() {
  local TIMEFORMAT='%3R %3U %3S'
  { time "$@" > /dev/null 2>&1; } 2>&1 | awk '{ print $1 * 1000, ($2 + $3) * 1000 }'
}
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The probes and the decoder commands of the report, in three orders, one
# command per line, words separated by 0x1f.
"$program" -q -j "$jobs" -o reference-run "${inputs[@]}"
python3 - reference-run/songs/song/report.json "${inputs[@]}" << 'PYTHON'
import json, sys
report = json.load(open(sys.argv[1]))
inputs = sys.argv[2:]
# In the order abchr-prepare starts them: the costliest first, as it weighs
# them (Opus is decoded and resampled, a lossless original only copied).
def weight(s):
    return 3 if s["codec"] == "opus" else 0.2 if s is report["reference"] else 1
stimuli = [report["reference"]] + report["stimuli"]
order = sorted(range(len(stimuli)), key=lambda k: -weight(stimuli[k]))
decode = {k: "\x1f".join(stimuli[k]["decoder"]["command"][:-1] + ["decoded%d.wav" % k]) for k in order}
probe = {k: "\x1f".join(["ffprobe", "-v", "error", "-show_program_version", "-select_streams", "a:0",
                          "-show_streams", "-show_format", "-of", "json", "file:" + inputs[k]]) for k in order}
orders = {"probes-first": [probe[k] for k in order] + [decode[k] for k in order],
          "decodes-first": [decode[k] for k in order] + [probe[k] for k in order],
          "each-probe-then-its-decode": [c for k in order for c in (probe[k], decode[k])]}
for name, commands in orders.items():
    with open("order-" + name, "w") as f:
        f.write("\n".join(commands) + "\n")
PYTHON

run_one() { IFS=$'\x1f' read -r -a words <<< "$1" && "${words[@]}" > /dev/null; }
export -f run_one
floor_run() {
  # shellcheck disable=SC2016 # $1 is the child shell's argument
  tr '\n' '\0' < "$1" | xargs -0 -n 1 -P "$jobs" bash -c 'run_one "$1"' run
}
# The README's recipe, one command after another.
by_hand() {
  sox song.wav -b 32 song32b.wav
  mpg123 -q --no-gapless -e f32 -w song_mp332b.wav song.mp3
  mpg123 -q --no-gapless -e f32 -w low_mp332b.wav low.mp3
  ffmpeg -nostdin -v error -y -i song.m4a -c:a pcm_f32le song_aac32b.wav
  ffmpeg -nostdin -v error -y -i song.aac -c:a pcm_f32le song_adts32b.wav
  ffmpeg -nostdin -v error -y -i song.ogg -c:a pcm_f32le song_vorbis32b.wav
  opusdec --quiet --float --rate 44100 song.opus song_opus32b.wav
  "$wavmatch2" song32b.wav song_mp332b.wav low_mp332b.wav song_aac32b.wav song_adts32b.wav song_vorbis32b.wav \
    song_opus32b.wav > report.txt
  for raw in song song_mp3 low_mp3 song_aac song_adts song_vorbis song_opus; do
    sox -t raw -r 44100 -e signed -b 16 -c 2 -L "$raw.raw" "$raw-wrapped.wav"
  done
}

load=$(cut -d' ' -f1-3 /proc/loadavg)
prepare=() prepare_cpu=() hand=()
declare -A floors
for ((r = 0; r < runs; ++r)); do
  rm -rf out
  read -r wall cpu < <(timed "$program" -q -j "$jobs" -o out "${inputs[@]}")
  prepare+=("$wall") prepare_cpu+=("$cpu")
  for order in order-*; do
    rm -f decoded*.wav
    read -r wall _ < <(timed floor_run "$order")
    floors[$order]+="$wall "
  done
  rm -f ./*32b.wav ./*.raw ./*-wrapped.wav
  read -r wall _ < <(timed by_hand)
  hand+=("$wall")
done

p=$(median "${prepare[@]}")
pc=$(median "${prepare_cpu[@]}")
h=$(median "${hand[@]}")
echo "song: $seconds s, six encoded files, $jobs at a time, median of $runs runs; load average $load"
echo "abchr-prepare:                       $p ms, $pc ms CPU"
f=
for order in order-*; do
  # shellcheck disable=SC2086 # the times, one word each
  m=$(median ${floors[$order]})
  printf 'probes and decodes, %-27s %s ms\n' "${order#order-}:" "$m"
  if [ -z "$f" ] || [ "$m" -lt "$f" ]; then f=$m; fi
done
echo "the README's recipe, one command after another: $h ms"
awk -v p="$p" -v f="$f" -v h="$h" 'BEGIN {
  printf "abchr-prepare / floor (probes and decodes, best order): %.2fx (goal <= 1.15x)\n", p / f
  printf "abchr-prepare / the README recipe by hand: %.2fx (goal <= 0.8x)\n", p / h
}'
