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
source bench/bench_files.sh
build=${1:-build}
seconds=${2:-240}
rounds=${3:-3}
require_programs bench_run "$build/track_aligner/wavmatch2" "$build/bench/wavmatch2_per_value" \
  "$build/bench/literal_wavmatch" "$build/bench/make_test_audio"

work=$(mktemp -d "${TMPDIR:-/tmp}/wavmatch-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "making 10 files of $seconds s in $work ..."
make_bench_files "$build" "$seconds" "$work"

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
"$build/track_aligner/wavmatch2" "${inputs[@]}" > "$work/report.txt"
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

  run_times+=("$(timed_run "$build/track_aligner/wavmatch2")")
  block_sums=$(raw_sums)
  per_value_times+=("$(timed_run "$build/bench/wavmatch2_per_value")")
  per_value_sums=$(raw_sums)
  if [ "$block_sums" != "$per_value_sums" ]; then
    echo "bench_run: the per-value output phase wrote other bytes than wavmatch2" >&2
    exit 1
  fi
  literal_times+=("$(timed_run "$build/bench/literal_wavmatch")")
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
  printf "wavmatch2 / floor           %6.2f   (target: within 1.25x)  %s\n", r / f, (r <= 1.25 * f) ? "met" : "NOT met"
  printf "per-value output / floor    %6.2f\n", p / f
  printf "per-value output / wavmatch2 %5.2f\n", p / r
  printf "plain aligner / wavmatch2   %6.2f\n", l / r
}'
echo "raw files and standard output of wavmatch2 and the plain aligner identical (md5 over all ten raw files)"
