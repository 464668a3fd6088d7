#!/usr/bin/env bash
# Whole-run benchmark of wavmatch2: one original and nine decoded files of four
# minutes each (synthesised: shifted, scaled, noisy copies, four of them float),
# timed against the floor of reading every input once and writing every output
# once (cat of the inputs, dd of the same output sizes), against the same run
# with an output phase that works one value at a time, and against the plain
# aligner of tests/literal_wavmatch.h, which shares no code with wavmatch2. All
# three must print and write the same bytes. The inputs (about 850 MB) live in a
# temporary folder that is removed at the end.
#
#   bench/bench_run.sh [BUILD_DIR [SECONDS [ROUNDS]]]     defaults: build 240 3
#
# Times are the median of ROUNDS; the machine is shared and noisy, so only the
# ratios measured here against each other mean anything.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-240}
rounds=${3:-3}
for program in track_aligner/wavmatch2 bench/wavmatch2_per_value bench/literal_wavmatch bench/make_test_audio; do
  if [ ! -x "$build/$program" ]; then
    echo "bench_run: $build/$program is missing; build it first (cmake --build $build)" >&2
    exit 2
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/wavmatch-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Offsets across the searchable range, gains of a few tenths of a dB, noise
# from -90 to -60 dBFS; the float copies stand for ffmpeg-decoded files.
copies=(
  "$work/c132b.wav:1105:-0.4:-70"
  "$work/c232b.wav:0:0.2:-80:float"
  "$work/c332b.wav:1024:-0.1:-65:float"
  "$work/c432b.wav:-2400:0.5:-75"
  "$work/c532b.wav:7400:-0.8:-60"
  "$work/c632b.wav:312:0.1:-90:float"
  "$work/c732b.wav:2113:-0.3:-70"
  "$work/c832b.wav:-77:0.7:-68:float"
  "$work/c932b.wav:4999:-0.2:-72"
)
echo "making 10 files of $seconds s in $work ..."
"$build/bench/make_test_audio" "$seconds" "$work/orig32b.wav" "${copies[@]}"
inputs=("$work/orig32b.wav")
for c in "${copies[@]}"; do inputs+=("${c%%:*}"); done

now() { date +%s%N; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
raws() { rm -f "$work"/*.raw "$work"/floor_*; }
raw_sums() { (cd "$work" && md5sum ./*.raw); }
# Nanoseconds one whole run of the program takes, from no raw files; its
# standard output is kept in $work/<program name>.out.
timed_run() {
  raws
  local t0
  t0=$(now)
  "$1" "${inputs[@]}" > "$work/$(basename "$1").out"
  echo $(($(now) - t0))
}

# One untimed run: warms the page cache and gives the output size.
raws
"$build/track_aligner/wavmatch2" "${inputs[@]}" | tr -d '\r' > "$work/report.txt"
shortest=$(awk -F: '/^shortest_sample/ { print $2 + 0 }' "$work/report.txt")
out_bytes=$((4 * shortest))
echo "inputs: $(du -cb "${inputs[@]}" | tail -1 | cut -f1) bytes; outputs: 10 x $out_bytes bytes"

floor_times=()
run_times=()
per_value_times=()
literal_times=()
for ((r = 0; r < rounds; ++r)); do
  raws
  t0=$(now)
  cat "${inputs[@]}" > /dev/null
  for k in 0 1 2 3 4 5 6 7 8 9; do
    dd if=/dev/zero of="$work/floor_$k" bs=1M count="$out_bytes" iflag=count_bytes status=none
  done
  t1=$(now)
  floor_times+=($((t1 - t0)))

  run_times+=($(timed_run "$build/track_aligner/wavmatch2"))
  block_sums=$(raw_sums)
  per_value_times+=($(timed_run "$build/bench/wavmatch2_per_value"))
  per_value_sums=$(raw_sums)
  if [ "$block_sums" != "$per_value_sums" ]; then
    echo "bench_run: the per-value output phase wrote other bytes than wavmatch2" >&2
    exit 1
  fi
  literal_times+=($(timed_run "$build/bench/literal_wavmatch"))
  if [ "$block_sums" != "$(raw_sums)" ] || ! cmp -s "$work/wavmatch2.out" "$work/literal_wavmatch.out"; then
    echo "bench_run: the plain aligner printed or wrote other bytes than wavmatch2" >&2
    exit 1
  fi
done

floor=$(median "${floor_times[@]}")
run=$(median "${run_times[@]}")
per_value=$(median "${per_value_times[@]}")
literal=$(median "${literal_times[@]}")
awk -v f="$floor" -v r="$run" -v p="$per_value" -v l="$literal" 'BEGIN {
  printf "median of %d rounds (ms): floor %.0f   wavmatch2 %.0f   per-value output %.0f   plain aligner %.0f\n", '"$rounds"', f / 1e6, r / 1e6, p / 1e6, l / 1e6
  printf "wavmatch2 / floor           %6.2f   (target: within 2x)  %s\n", r / f, r <= 2 * f ? "met" : "NOT met"
  printf "per-value output / floor    %6.2f\n", p / f
  printf "per-value output / wavmatch2 %5.2f\n", p / r
  printf "plain aligner / wavmatch2   %6.2f\n", l / r
}'
echo "raw files and standard output of wavmatch2 and the plain aligner identical (md5 over all ten raw files)"
