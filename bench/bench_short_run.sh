#!/usr/bin/env bash
# Whole-run benchmark of wavmatch2 on short excerpts, where the fixed cost of a
# run (start-up, windows, searches, small outputs) dominates: ten files of
# 60000 frames, timed against the plain one-value-at-a-time reference program
# (literal search) and against the floor of reading every input once and
# writing every output once (cat, then dd of the same output sizes). The
# reference must print the same report and write the same raw files.
#
#   bench/bench_short_run.sh [BUILD_DIR [RUNS]]     defaults: build 41
#
# Times are CPU time (user + system) of the program: the machine is shared,
# and time spent waiting for a core is not the program's. Wall-clock times
# are shown beside them. wavmatch2's time is the median of RUNS runs, the
# reference's the median of three.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/bench_files.sh
build=$(cd "${1:-build}" && pwd)
runs=${2:-41}
program="$build/track_aligner/wavmatch2"
reference="$build/bench/literal_wavmatch"
require_programs bench_short_run "$program" "$reference" "$build/bench/make_test_audio"

work=$(mktemp -d "${TMPDIR:-/tmp}/wavmatch-short-XXXXXX")
trap 'rm -rf "$work"' EXIT
make_bench_files "$build" "$(awk 'BEGIN { printf "%.10f", 60000 / 44100 }')" "$work"
cd "$work"
names=("${inputs[@]##*/}")

# One whole run from no raw files, its report in $2: prints the wall-clock and
# the CPU time in milliseconds.
timed_run() {
  rm -f ./*.raw
  local TIMEFORMAT='%3R %3U %3S'
  { time "$1" "${names[@]}" > "$2" 2> /dev/null; } 2>&1 | awk '{ print $1 * 1000, ($2 + $3) * 1000 }'
}

# The reference's report and raw files, kept to compare with.
reference_wall=()
reference_cpu=()
for r in 1 2 3; do
  read -r wall cpu < <(timed_run "$reference" reference.txt)
  reference_wall+=("$wall")
  reference_cpu+=("$cpu")
done
reference_sums=$(md5sum ./*.raw)
shortest=$(awk -F: '/^shortest_sample/ { print $2 + 0 }' reference.txt)
out_bytes=$((4 * shortest))

run_wall=()
run_cpu=()
floor_wall=()
for ((r = 0; r < runs; ++r)); do
  read -r wall cpu < <(timed_run "$program" report.txt)
  run_wall+=("$wall")
  run_cpu+=("$cpu")
  if [ "$(md5sum ./*.raw)" != "$reference_sums" ] || ! cmp -s report.txt reference.txt; then
    echo "bench_short_run: wavmatch2 and the reference program disagree" >&2
    exit 1
  fi
  rm -f ./*.raw
  t0=$(now)
  cat "${names[@]}" > /dev/null
  for k in 0 1 2 3 4 5 6 7 8 9; do
    dd if=/dev/zero of="floor_$k" bs=1M count="$out_bytes" iflag=count_bytes status=none
  done
  floor_wall+=($((($(now) - t0) / 1000000)))
  rm -f floor_*
done

awk -v lc="$(median "${reference_cpu[@]}")" -v lw="$(median "${reference_wall[@]}")" \
  -v rc="$(median "${run_cpu[@]}")" -v rw="$(median "${run_wall[@]}")" \
  -v fw="$(median "${floor_wall[@]}")" 'BEGIN {
  printf "ten files of 60000 frames, median CPU ms: reference %.0f   wavmatch2 %.1f\n", lc, rc
  printf "                         median wall ms: reference %.0f   wavmatch2 %.1f   floor %.1f\n", lw, rw, fw
  printf "reference / wavmatch2 (CPU)  %6.1f   (target: at least 100)  %s\n", lc / rc, (lc >= 100 * rc) ? "met" : "NOT met"
  printf "reference / wavmatch2 (wall) %6.1f\n", lw / rw
  printf "wavmatch2 / floor (wall)     %6.2f\n", rw / fw
}'
echo "report and raw files of wavmatch2 and the reference identical (every run)"
