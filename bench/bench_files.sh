# shellcheck shell=bash
# The ten input files of the whole-run benchmarks: one original and nine
# decoded copies (shifted, scaled, noisy, four of them float). Sourced by
# bench_run.sh and bench_short_run.sh.
#
#   make_bench_files BUILD_DIR SECONDS FOLDER     sets the array `inputs`

make_bench_files() {
  local build=$1 seconds=$2 folder=$3
  # Offsets across the searchable range, gains of a few tenths of a dB, noise
  # from -90 to -60 dBFS; the float copies stand for ffmpeg-decoded files.
  local copies=(
    "$folder/c132b.wav:1105:-0.4:-70"
    "$folder/c232b.wav:0:0.2:-80:float"
    "$folder/c332b.wav:1024:-0.1:-65:float"
    "$folder/c432b.wav:-2400:0.5:-75"
    "$folder/c532b.wav:7400:-0.8:-60"
    "$folder/c632b.wav:312:0.1:-90:float"
    "$folder/c732b.wav:2113:-0.3:-70"
    "$folder/c832b.wav:-77:0.7:-68:float"
    "$folder/c932b.wav:4999:-0.2:-72"
  )
  "$build/bench/make_test_audio" "$seconds" "$folder/orig32b.wav" "${copies[@]}"
  inputs=("$folder/orig32b.wav")
  local c
  for c in "${copies[@]}"; do inputs+=("${c%%:*}"); done
}

now() { date +%s%N; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# require_programs SCRIPT_NAME PATH ...: stops with status 2 when one is missing.
require_programs() {
  local name=$1 program
  shift
  for program in "$@"; do
    if [ ! -x "$program" ]; then
      echo "$name: $program is missing; build it first (cmake --build BUILD_DIR)" >&2
      exit 2
    fi
  done
}
