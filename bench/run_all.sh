#!/usr/bin/env bash
# Runs every benchmark and prints one table of ratios, each against a baseline
# measured in the same run (the machine is shared; absolute times drift).
#
#   bench/run_all.sh [BUILD_DIR]        default: build (configured Release)
#
# It builds what it needs first. The whole-run benchmark writes about 1 GB of
# temporary files and removes them.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" -j "$(nproc)" --target wavmatch2 logsweep abchr-prepare abchr-analyse benchmarks > /dev/null

tmp=$(mktemp -d "${TMPDIR:-/tmp}/abchr-bench-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
echo "running the search benchmark ..." >&2
"$build/bench/bench_search" > "$tmp/search"
echo "running the whole-run benchmark on short excerpts ..." >&2
bash bench/bench_short_run.sh "$build" > "$tmp/short"
echo "running the whole-run benchmarks (4 min, 30 s) ..." >&2
bash bench/bench_run.sh "$build" 240 3 > "$tmp/run"
bash bench/bench_run.sh "$build" 30 5 > "$tmp/run30"
echo "running the log cleaner benchmark ..." >&2
"$build/bench/logsweep_bench" 100 > "$tmp/log"
echo "running the abchr-prepare benchmark ..." >&2
bash bench/bench_prepare.sh "$build" 240 3 > "$tmp/prepare"
# SciPy from Debian (python3-scipy) belongs to Debian's Python.
echo "running the abchr-analyse benchmark against SciPy (1 min) ..." >&2
/usr/bin/python3 bench/bench_analyse.py "$build/abchr_analyse/abchr-analyse" > "$tmp/analyse"

value() { grep -m1 "$2" "$tmp/$1" | grep -oE '[0-9]+(\.[0-9]+)?' | sed -n "${3:-1}p"; }
row() { printf '| %-44s | %-28s | %10s | %-12s |\n' "$@"; }

echo
echo "Offset search, per window (literal time / shipped time):"
sed -n '/^window/,/^$/p' "$tmp/search"
echo
row "measurement" "baseline (same run)" "ratio" "target"
row "--------------------------------------------" "----------------------------" "----------" "------------"
# A window's ratio: the third number after its 24-character name.
window() { grep -m1 "^$1" "$tmp/search" | cut -c25- | awk '{ print $3 }'; }
row "search, realistic windows, median speed-up" "literal search" "$(value search 'median ratio')x" ">= 1000x"
row "search, unrelated music, speed-up" "literal search" "$(window 'unrelated music')x" ">= 500x"
row "search, delay 9000 (outside), speed-up" "literal search" "$(window 'delay 9000')x" ">= 500x"
row "search, delay -4000 (outside), speed-up" "literal search" "$(window 'delay -4000')x" ">= 500x"
row "search, steady 441 Hz tone, speed-up" "literal search" "$(window 'steady tone')x" ">= 500x"
row "search, slowest window, speed-up" "literal search" "$(value search 'lowest ratio')x" ">= 500x"
row "equal-loudness filter, ns per frame" "-" "$(value search 'filter_run')" "<= 12"
row "wavmatch2, 10 files of 60000 frames, CPU" "plain program (literal_wavmatch)" \
  "$(value short 'reference / wavmatch2 (CPU)' 2)x" ">= 100x"
row "wavmatch2, 10 files of 60000 frames, CPU" "before the checks (c09a5c7)" \
  "$(value short 'wavmatch2 / c09a5c7 (CPU)' 2)x" "<= 0.85x"
row "wavmatch2, 10 files of 30 s, time" "cat + dd of the same bytes" "$(value run30 'wavmatch2 / floor' 2)x" "<= 1.25x"
row "wavmatch2, 10 files of 4 min, time" "cat + dd of the same bytes" "$(value run 'wavmatch2 / floor' 2)x" "<= 1.25x"
row "output phase one value at a time, time" "wavmatch2" "$(value run 'per-value output / wavmatch2' 2)x" "-"
row "plain aligner (literal_wavmatch), time" "wavmatch2" "$(value run 'plain aligner / wavmatch2' 2)x" "-"
# The log benchmark prints an ASCII and a UTF-8 log, in that order, then the long line.
ratio() { grep "$1" "$tmp/log" | sed -n "$2p" | grep -oE '[0-9.]+x' | head -1; }
row "logsweep, ASCII progress log, time" "cat log \\| cat > /dev/null" "$(ratio 'logsweep / cat pipe' 1)" "<= 0.7x"
row "byte-at-a-time cleaner, ASCII log, time" "logsweep" "$(ratio 'byte at a time / logsweep' 1)" ">= 5x"
row "logsweep, UTF-8 progress log, time" "cat log \\| cat > /dev/null" "$(ratio 'logsweep / cat pipe' 2)" "<= 0.7x"
row "byte-at-a-time cleaner, UTF-8 log, time" "logsweep" "$(ratio 'byte at a time / logsweep' 2)" ">= 5x"
row "logsweep reading a pipe, ASCII log, time" "cat log \\| cat > /dev/null" "$(ratio 'piped logsweep / cat pipe' 1)" "<= 1.5x"
row "logsweep reading a pipe, UTF-8 log, time" "cat log \\| cat > /dev/null" "$(ratio 'piped logsweep / cat pipe' 2)" "<= 1.5x"
row "logsweep, peak memory per byte of its line" "a 256 MiB line" "$(value log 'memory per byte')" "<= 1.5"
row "abchr-prepare, 6 encoded files of 4 min" "its probes and decodes, best order" \
  "$(value prepare 'abchr-prepare / floor' 1)x" "<= 1.15x"
row "abchr-prepare, 6 encoded files of 4 min" "the README's recipe by hand" \
  "$(value prepare 'abchr-prepare / the README' 1)x" "<= 0.8x"
row "abchr-analyse, 100 x 20 x 9, 10000 resamples" "SciPy, the same statistics" "$(value analyse 'ratio' 3)x" \
  "<= 0.1x"
echo
grep -E 'identical|agree' "$tmp/search" "$tmp/short" "$tmp/run" "$tmp/run30" "$tmp/log" | sed 's/^[^:]*://' | sort -u
