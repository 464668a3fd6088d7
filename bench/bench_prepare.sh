#!/usr/bin/env bash
# abchr-prepare on one song with six encoded files (MP3, AAC in .m4a and as
# ADTS, Vorbis, Opus, and a low-bitrate MP3), timed against the same decoder
# commands (those its report.json records) run one after another, and against
# the same commands run as many at a time as it runs them. The first ratio is
# what the parallel decoding gains; the second gives the share of its wall
# time spent outside the decoders: probing, alignment, writing the stimuli.
#
#   bench/bench_prepare.sh [BUILD_DIR [SECONDS [RUNS]]]    defaults: build 240 3
#
# Wall-clock times, the median of RUNS runs each, all measured in this run.
# On a machine that other work keeps busy the wall-clock ratios say little
# about the parallel decoding (the load average is printed); the CPU times
# (user and system, children included) give the share of the work done
# outside the decoders whatever the load.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
seconds=${2:-240}
runs=${3:-3}
program="$build/abchr_prepare/abchr-prepare"
for tool in "$program" "$build/bench/make_test_audio"; do
  [ -x "$tool" ] || { echo "bench_prepare: build $tool first" >&2; exit 1; }
done
for tool in ffmpeg ffprobe lame oggenc opusenc python3; do
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

# The decoder commands of the report, one per line, words separated by 0x1f.
"$program" -q -j "$jobs" -o reference-run "${inputs[@]}"
python3 - reference-run/songs/song/report.json > commands << 'PYTHON'
import json, sys
report = json.load(open(sys.argv[1]))
# In the order abchr-prepare starts them: the costliest first, as it weighs
# them (Opus is decoded and resampled, a lossless original only copied).
def weight(s):
    return 3 if s["codec"] == "opus" else 0.2 if s is report["reference"] else 1
stimuli = [report["reference"]] + report["stimuli"]
for k, s in sorted(enumerate(stimuli), key=lambda e: -weight(e[1])):
    command = s["decoder"]["command"][:-1] + ["decoded%d.wav" % k]
    print("\x1f".join(command))
PYTHON

run_one() { IFS=$'\x1f' read -r -a words <<< "$1" && "${words[@]}"; }
export -f run_one
serial_decoders() { while IFS= read -r line; do run_one "$line"; done < commands; }
parallel_decoders() {
  # shellcheck disable=SC2016 # $1 is the child shell's argument
  tr '\n' '\0' < commands | xargs -0 -n 1 -P "$jobs" bash -c 'run_one "$1"' run
}

load=$(cut -d' ' -f1-3 /proc/loadavg)
prepare=() prepare_cpu=() serial=() serial_cpu=() parallel=()
for ((r = 0; r < runs; ++r)); do
  rm -rf out decoded*.wav
  read -r wall cpu < <(timed "$program" -q -j "$jobs" -o out "${inputs[@]}")
  prepare+=("$wall") prepare_cpu+=("$cpu")
  read -r wall cpu < <(timed serial_decoders)
  serial+=("$wall") serial_cpu+=("$cpu")
  rm -f decoded*.wav
  read -r wall cpu < <(timed parallel_decoders)
  parallel+=("$wall")
done

p=$(median "${prepare[@]}")
s=$(median "${serial[@]}")
q=$(median "${parallel[@]}")
pc=$(median "${prepare_cpu[@]}")
sc=$(median "${serial_cpu[@]}")
echo "song: $seconds s, six encoded files, $jobs decoders at a time, median of $runs runs; load average $load"
echo "abchr-prepare:                 $p ms, $pc ms CPU"
echo "decoders one after another:    $s ms, $sc ms CPU"
echo "decoders $jobs at a time:           $q ms"
awk -v p="$p" -v s="$s" -v q="$q" -v pc="$pc" -v sc="$sc" 'BEGIN {
  printf "abchr-prepare / decoders one after another: %.2fx (goal <= 0.65x on 2 cores)\n", p / s
  printf "share of abchr-prepare outside the decoders: %.1f%% (goal <= 10%%)\n", 100 * (p - q) / p
  printf "share of abchr-prepare CPU time outside the decoders: %.1f%%\n", 100 * (pc - sc) / pc
}'
