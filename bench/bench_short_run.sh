#!/usr/bin/env bash
# Whole-run benchmark of wavmatch2 on short excerpts, where the fixed cost of a
# run (start-up, windows, searches, small outputs) dominates: ten files of
# 60000 frames, timed against the plain one-value-at-a-time reference program
# (literal search) and against the floor of reading every input once and
# writing every output once (cat, then dd of the same output sizes). The
# reference must print the same report and write the same raw files.
#
# It also times the program as it was before its output checks (commit
# c09a5c7, or BASELINE_COMMIT), built here the same way (Release, linked
# dynamically as the program is now), in batches that alternate with
# wavmatch2's, and counts the system calls of one run of each (strace).
# That part is left out when git, the commit or the build is not at hand.
# Those batches are started without a shell (bench/child_cpu): a shell's fork
# before each run costs the child about 2 ms of CPU time, the same for both
# programs, which would hide a third of the difference between them.
#
#   bench/bench_short_run.sh [BUILD_DIR [RUNS [BASELINE_COMMIT]]]   defaults: build 41 c09a5c7
#
# Times are CPU time (user + system) of the program: the machine is shared,
# and time spent waiting for a core is not the program's. Wall-clock times
# are shown beside them. wavmatch2's time is the median of RUNS runs, the
# reference's the median of three.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/bench_files.sh
bash scripts/install-deps.sh strace
build=$(cd "${1:-build}" && pwd)
runs=${2:-41}
baseline_commit=${3:-c09a5c7}
repository=$(pwd)
program="$build/track_aligner/wavmatch2"
reference="$build/bench/literal_wavmatch"
require_programs bench_short_run "$program" "$reference" "$build/bench/make_test_audio" "$build/bench/child_cpu"

work=$(mktemp -d "${TMPDIR:-/tmp}/wavmatch-short-XXXXXX")
trap 'rm -rf "$work"' EXIT
make_bench_files "$build" "$(awk 'BEGIN { printf "%.10f", 60000 / 44100 }')" "$work"

# The program before the checks. That commit linked wavmatch2 statically; its
# static link is dropped, so that both pay the dynamic loader alike.
baseline=""
if git -C "$repository" cat-file -e "$baseline_commit^{commit}" 2> /dev/null; then
  mkdir "$work/baseline"
  git -C "$repository" archive "$baseline_commit" | tar -x -C "$work/baseline"
  sed -i '/target_link_options(wavmatch2 PRIVATE -static)/d' "$work/baseline/track_aligner/CMakeLists.txt"
  if cmake -S "$work/baseline" -B "$work/baseline/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    > "$work/baseline.log" 2>&1 &&
    cmake --build "$work/baseline/build" -j "$(nproc)" --target wavmatch2 >> "$work/baseline.log" 2>&1; then
    baseline="$work/baseline/build/track_aligner/wavmatch2"
  else
    echo "bench_short_run: $baseline_commit did not build; its comparison is left out" >&2
  fi
fi
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

# Ten folders that link the inputs, where a batch runs from no raw files
# without timing their removal.
for b in 0 1 2 3 4 5 6 7 8 9; do
  mkdir "$work/batch$b"
  ln "${names[@]}" "$work/batch$b/"
done

# CPU time in milliseconds per run of a batch of ten runs of program $1, one
# in each folder (the clock of a short run alone is too coarse on some
# machines), started by child_cpu without a shell's fork.
batch_cpu() {
  rm -f "$work"/batch*/*.raw
  "$build/bench/child_cpu" "$work"/batch{0,1,2,3,4,5,6,7,8,9} -- "$1" "${names[@]}"
}

# The system calls of one run of program $1.
system_calls() {
  rm -f ./*.raw
  strace -f -c -o "$work/calls" "$1" "${names[@]}" > /dev/null 2>&1
  awk '$NF == "total" { print $(NF - 2) }' "$work/calls"
}

if [ -n "$baseline" ]; then
  now_cpu=()
  before_cpu=()
  for ((r = 0; r < 9; ++r)); do
    now_cpu+=("$(batch_cpu "$program")")
    before_cpu+=("$(batch_cpu "$baseline")")
  done
  awk -v n="$(median "${now_cpu[@]}")" -v b="$(median "${before_cpu[@]}")" -v c="$baseline_commit" 'BEGIN {
    printf "before the checks (%s, dynamic), median CPU ms per run: %.2f   wavmatch2 %.2f\n", c, b, n
    printf "wavmatch2 / %s (CPU)       %6.2f   (goal: at most 0.85)  %s\n", c, n / b, (n <= 0.85 * b) ? "met" : "NOT met"
  }'
  if command -v strace > /dev/null; then
    echo "system calls of one run: $baseline_commit $(system_calls "$baseline")   wavmatch2 $(system_calls "$program")"
  fi
fi

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
